#pragma once

#include "knowledge.h"

#include <cstddef>

namespace morvane::formula::detail {

struct KnowledgeRow
{
    const char16_t *name;
    NameClass cls;
    bool negativeOffsetOnly;
    const char16_t *reason;
    const char16_t *advice;
};

// knowledge.tsv, compiled in (knowledge.cmake writes the definitions).
extern const KnowledgeRow kKnowledgeRows[];
extern const size_t kKnowledgeRowCount;

} // namespace morvane::formula::detail
