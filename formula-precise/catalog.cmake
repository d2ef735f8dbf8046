# Turns catalog.tsv (name, class, definition, source; tab-separated, a header row first) into
# a C++ table. Run as: cmake -DIN=catalog.tsv -DOUT=catalog_table.cpp -P catalog.cmake
include(${CMAKE_CURRENT_LIST_DIR}/tsvrows.cmake)
read_tsv_rows("${IN}" 4 rows_in)
set(rows "")
foreach(line IN LISTS rows_in)
    string(REPLACE "\t" ";" fields "${line}")
    list(GET fields 0 name)
    list(GET fields 1 class)
    list(GET fields 2 definition)
    list(GET fields 3 source)
    set(classes causal Causal future Future drift Drift lastbar LastBar drawing Drawing
        text Text fact Fact)
    list(FIND classes "${class}" at)
    math(EXPR odd "${at} % 2")
    if(at EQUAL -1 OR odd EQUAL 1)
        message(FATAL_ERROR
            "${IN}: class must be causal, future, drift, lastbar, drawing, text or fact: ${line}")
    endif()
    math(EXPR at "${at} + 1")
    list(GET classes ${at} cls)
    if(definition STREQUAL "" OR source STREQUAL "")
        message(FATAL_ERROR "${IN}: a definition and a source, please: ${line}")
    endif()
    string(APPEND rows "    {u\"${name}\", FunctionClass::${cls}, u\"${definition}\"},\n")
endforeach()
file(WRITE "${OUT}" "// Generated from catalog.tsv by catalog.cmake.
#include \"catalog_table.h\"

namespace morvane::formula::detail {

const CatalogRow kCatalogRows[] = {
${rows}};
const size_t kCatalogRowCount = sizeof(kCatalogRows) / sizeof(kCatalogRows[0]);

} // namespace morvane::formula::detail
")
