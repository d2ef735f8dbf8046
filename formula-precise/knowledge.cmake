# Turns knowledge.tsv (name, class, when, reason, advice; tab-separated, a header row first) into
# a C++ table. Run as: cmake -DIN=knowledge.tsv -DOUT=knowledge_table.cpp -P knowledge.cmake
file(READ "${IN}" content)
foreach(bad "\"" "\\" ";" "[" "]")
    string(FIND "${content}" "${bad}" at)
    if(NOT at EQUAL -1)
        message(FATAL_ERROR "${IN}: no quotes, backslashes, semicolons or brackets, please")
    endif()
endforeach()
file(STRINGS "${IN}" lines ENCODING UTF-8)
set(rows "")
set(first TRUE)
foreach(line IN LISTS lines)
    if(first OR line STREQUAL "")
        set(first FALSE)
        continue()
    endif()
    string(REPLACE "\t" ";" fields "${line}")
    list(LENGTH fields count)
    if(NOT count EQUAL 5)
        message(FATAL_ERROR "${IN}: five tab-separated columns expected: ${line}")
    endif()
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
