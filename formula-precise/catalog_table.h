#pragma once

#include "catalog.h"

#include <cstddef>

namespace morvane::formula::detail {

struct CatalogRow
{
    const char16_t *name;
    FunctionClass cls;
    const char16_t *definition;
};

// catalog.tsv, compiled in (catalog.cmake writes the definitions).
extern const CatalogRow kCatalogRows[];
extern const size_t kCatalogRowCount;

} // namespace morvane::formula::detail
