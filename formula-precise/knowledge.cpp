#include "knowledge.h"
#include "knowledge_table.h"

#include <QHash>

using namespace Qt::StringLiterals;

namespace morvane::formula {

const std::vector<KnownName> &knownNames()
{
    static const std::vector<KnownName> names = [] {
        std::vector<KnownName> all;
        all.reserve(detail::kKnowledgeRowCount);
        for (size_t i = 0; i < detail::kKnowledgeRowCount; ++i) {
            const detail::KnowledgeRow &row = detail::kKnowledgeRows[i];
            all.push_back({QString::fromUtf16(row.name), row.cls, QString::fromUtf16(row.reason),
                           row.negativeOffsetOnly, QString::fromUtf16(row.advice)});
        }
        return all;
    }();
    return names;
}

const KnownName *knownName(QStringView name)
{
    static const QHash<QString, const KnownName *> index = [] {
        QHash<QString, const KnownName *> byName;
        for (const KnownName &k : knownNames())
            byName.insert(k.name, &k);
        return byName;
    }();
    const auto it = index.constFind(name.toString().toUpper());
    return it == index.cend() ? nullptr : it.value();
}

QLatin1StringView classWord(NameClass cls)
{
    switch (cls) {
    case NameClass::Future:
        return "future"_L1;
    case NameClass::Drift:
        return "drift"_L1;
    case NameClass::LastBar:
        return "lastbar"_L1;
    case NameClass::Unsure:
        return "unsure"_L1;
    case NameClass::Unchecked:
        return "unchecked"_L1;
    case NameClass::Listed:
        break;
    }
    return "listed"_L1;
}

QString listedAdvice()
{
    return u"这是你在 list.txt 里加的名字：查清它的算法再决定是否要改。"_s;
}

QString listedReason()
{
    return u"函数列表 list.txt 中列出的名称，知识库没有它的说明。"_s;
}

} // namespace morvane::formula
