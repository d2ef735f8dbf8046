#include "catalog.h"
#include "catalog_table.h"

#include <QHash>

using namespace Qt::StringLiterals;

namespace morvane::formula {

const std::vector<CatalogEntry> &catalog()
{
    static const std::vector<CatalogEntry> entries = [] {
        std::vector<CatalogEntry> all;
        all.reserve(detail::kCatalogRowCount);
        for (size_t i = 0; i < detail::kCatalogRowCount; ++i) {
            const detail::CatalogRow &row = detail::kCatalogRows[i];
            all.push_back(
                {QString::fromUtf16(row.name), row.cls, QString::fromUtf16(row.definition)});
        }
        return all;
    }();
    return entries;
}

const CatalogEntry *catalogEntry(QStringView name)
{
    static const QHash<QString, const CatalogEntry *> index = [] {
        QHash<QString, const CatalogEntry *> byName;
        for (const CatalogEntry &e : catalog())
            byName.insert(e.name, &e);
        return byName;
    }();
    const auto it = index.constFind(name.toString().toUpper());
    return it == index.cend() ? nullptr : it.value();
}

QLatin1StringView functionClassWord(FunctionClass cls)
{
    switch (cls) {
    case FunctionClass::Future:
        return "future"_L1;
    case FunctionClass::Drift:
        return "drift"_L1;
    case FunctionClass::LastBar:
        return "lastbar"_L1;
    case FunctionClass::Drawing:
        return "drawing"_L1;
    case FunctionClass::Text:
        return "text"_L1;
    case FunctionClass::Fact:
        return "fact"_L1;
    case FunctionClass::Causal:
        break;
    }
    return "causal"_L1;
}

} // namespace morvane::formula
