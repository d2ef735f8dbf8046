# Turns knowledge.tsv (name, class, when, reason, advice; tab-separated, a header row first) into
# a C++ table. Run as: cmake -DIN=knowledge.tsv -DOUT=knowledge_table.cpp -P knowledge.cmake
include(${CMAKE_CURRENT_LIST_DIR}/tsvrows.cmake)
read_tsv_rows("${IN}" 5 rows_in)
set(rows "")
foreach(line IN LISTS rows_in)
    string(REPLACE "\t" ";" fields "${line}")
    list(GET fields 0 name)
    list(GET fields 1 class)
    list(GET fields 2 when)
    list(GET fields 3 reason)
    list(GET fields 4 advice)
    if(class STREQUAL "future")
        set(cls Future)
    elseif(class STREQUAL "drift")
        set(cls Drift)
    elseif(class STREQUAL "lastbar")
        set(cls LastBar)
    else()
        message(FATAL_ERROR "${IN}: class must be future, drift or lastbar: ${line}")
    endif()
    if(when STREQUAL "always")
        set(negative false)
    elseif(when STREQUAL "negative-offset")
        set(negative true)
    else()
        message(FATAL_ERROR "${IN}: when must be always or negative-offset: ${line}")
    endif()
    string(APPEND rows "    {u\"${name}\", NameClass::${cls}, ${negative}, u\"${reason}\", u\"${advice}\"},\n")
endforeach()
file(WRITE "${OUT}" "// Generated from knowledge.tsv by knowledge.cmake.
#include \"knowledge_table.h\"

namespace morvane::formula::detail {

const KnowledgeRow kKnowledgeRows[] = {
${rows}};
const size_t kKnowledgeRowCount = sizeof(kKnowledgeRows) / sizeof(kKnowledgeRows[0]);

} // namespace morvane::formula::detail
")
