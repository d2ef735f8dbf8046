#include "lexer.h"
#include "parser.h"

#include <QChar>

#include <array>

// The language's words and the characters of its names.

namespace morvane::formula {

bool isNameChar(char32_t c)
{
    if (c < 0x80) {
        return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
               c == u'_' || c == u'%' || c == u'$';
    }
    if (c == U'【' || c == U'】')
        return true;
    switch (QChar::category(c)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
    case QChar::Number_DecimalDigit:
    case QChar::Number_Letter:
    case QChar::Number_Other:
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
        return true;
    default:
        return false;
    }
}

bool isNameStart(char32_t c)
{
    return isNameChar(c) && !(c >= u'0' && c <= u'9') && c != u'$' && c != u'%';
}

bool isPeriodWord(QStringView word)
{
    static constexpr std::array<std::string_view, 11> kWords = {
        "MIN1", "MIN5",  "MIN15",  "MIN30",    "MIN60", "DAY",
        "WEEK", "MONTH", "SEASON", "HALFYEAR", "YEAR"};
    for (std::string_view w : kWords) {
        if (equalsWord(word, w))
            return true;
    }
    return false;
}

bool isStyleWord(QStringView word)
{
    static constexpr std::array<std::string_view, 18> kWords = {
        "DOTLINE",  "DASHLINE",  "DASHDOTLINE", "STICK",    "VOLSTICK",   "LINESTICK",
        "CROSSDOT", "CIRCLEDOT", "POINTDOT",    "NODRAW",   "NOTEXT",     "NOTITLE",
        "NOFRAME",  "DRAWABOVE", "DRAW3D",      "NOTMIXED", "NOKEYBOARD", "NOSHOW"};
    for (std::string_view w : kWords) {
        if (equalsWord(word, w))
            return true;
    }
    // COLORRED, COLOR00FFFF, LINETHICK2, ALIGN1, VALIGN2, FONTSIZE16, MOVE5, PRECIS2
    for (std::string_view prefix :
         {"COLOR", "LINETHICK", "ALIGN", "VALIGN", "FONTSIZE", "PRECIS", "LAYER"}) {
        const auto n = static_cast<qsizetype>(prefix.size());
        if (word.size() > n && equalsWord(word.first(n), prefix))
            return true;
    }
    return false;
}

} // namespace morvane::formula
