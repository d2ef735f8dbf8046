#include "lexer.h"

#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <numeric>
#include <random>

using namespace morvane::formula;
using namespace Qt::StringLiterals;

namespace {

QString kindWord(TokenKind kind)
{
    switch (kind) {
    case TokenKind::Space:
        return u"_"_s;
    case TokenKind::Newline:
        return u"NL"_s;
    case TokenKind::Comment:
        return u"Com"_s;
    case TokenKind::Name:
        return u"N"_s;
    case TokenKind::Number:
        return u"Num"_s;
    case TokenKind::Text:
        return u"Txt"_s;
    case TokenKind::Quoted:
        return u"Q"_s;
    case TokenKind::Note:
        return u"Note"_s;
    case TokenKind::Period:
        return u"Per"_s;
    case TokenKind::Directive:
        return u"Dir"_s;
    case TokenKind::Operator:
        return u"Op"_s;
    case TokenKind::Assign:
    case TokenKind::Colon:
    case TokenKind::LeftParen:
    case TokenKind::RightParen:
    case TokenKind::Comma:
    case TokenKind::Semicolon:
        return {};
    case TokenKind::Unknown:
        return u"?"_s;
    }
    return {};
}

// "N[IF] ( N[P] ..."; blanks left out, punctuation bare.
QString describe(const QString &text)
{
    QStringList parts;
    for (const Token &t : lex(text)) {
        if (t.kind == TokenKind::Space)
            continue;
        const QString word = kindWord(t.kind);
        const QString piece =
            t.kind == TokenKind::Newline ? QString() : text.mid(t.offset, t.length);
        parts << (word.isEmpty()                 ? piece
                  : t.kind == TokenKind::Newline ? word
                                                 : word + u'[' + piece + u']');
    }
    return parts.join(u' ');
}

// Lines and columns counted the way core/occurrences.cpp counts them.
void expectTiling(const QString &text, const std::vector<Token> &tokens)
{
    const LineIndex lines(text);
    qsizetype pos = 0;
    int line = 1;
    int column = 1;
    for (const Token &t : tokens) {
        QCOMPARE(t.offset, pos);
        QVERIFY(t.length > 0);
        QCOMPARE(lines.at(t.offset).line, line);
        QCOMPARE(lines.at(t.offset).column, column);
        for (; pos < t.end(); ++pos) {
            const QChar c = text[pos];
            if (c == u'\n' || (c == u'\r' && (pos + 1 >= text.size() || text[pos + 1] != u'\n'))) {
                QCOMPARE(t.kind, TokenKind::Newline);
                ++line;
                column = 1;
            } else if (c != u'\r' && !c.isLowSurrogate()) {
                ++column;
            }
        }
    }
    QCOMPARE(pos, text.size());
}

// Splits at CR LF, CR and LF as a highlighter sees the lines, then checks that lexLine with
// the carried state gives what lex gave for each line.
void expectLineByLineAgrees(const QString &text)
{
    const std::vector<Token> whole = lex(text);
    const LineIndex lines(text);
    size_t next = 0;
    LexState state = LexState::Normal;
    qsizetype start = 0;
    int lineNo = 1;
    while (true) {
        qsizetype end = start;
        while (end < text.size() && text[end] != u'\n' && text[end] != u'\r')
            ++end;
        std::vector<Token> line;
        const QStringView lineText = QStringView(text).sliced(start, end - start);
        const LineIndex lineIndex(lineText);
        state = lexLine(lineText, state, &line);
        for (const Token &t : line) {
            QVERIFY2(next < whole.size(), qPrintable(text));
            const Token &w = whole[next++];
            QCOMPARE(w.kind, t.kind);
            QCOMPARE(w.offset, start + t.offset);
            QCOMPARE(w.length, t.length);
            QCOMPARE(lines.at(w.offset).line, lineNo);
            QCOMPARE(lines.at(w.offset).column, lineIndex.at(t.offset).column);
        }
        if (end == text.size())
            break;
        QVERIFY(next < whole.size());
        QCOMPARE(whole[next++].kind, TokenKind::Newline);
        start =
            end + (text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n' ? 2 : 1);
        ++lineNo;
    }
    QCOMPARE(next, whole.size());
}

const QStringList kPieces = {
    u"{"_s,     u"}"_s,        u"/*"_s,     u"*/"_s,   u"//"_s,      u"'"_s,
    u"\""_s,    u"#NOTE "_s,   u"#"_s,      u"WEEK"_s, u"\n"_s,      u"\r\n"_s,
    u"\r"_s,    u"ZIG"_s,      u"(C,-1)"_s, u":="_s,   u":"_s,       u";"_s,
    u"乖离%"_s, u"【箱顶】"_s, u"KDJ.K"_s,  u"1E3"_s,  u".5"_s,      u" "_s,
    u"😀"_s,     u"\xd800"_s,   u"&"_s,      u"<>"_s,   u"Param#1"_s, u"\u3000"_s,
};

QString randomText(QRandomGenerator &rng)
{
    QString text;
    for (int n = rng.bounded(40); n > 0; --n)
        text += kPieces[rng.bounded(kPieces.size())];
    return text;
}

} // namespace

class TestLexer : public QObject
{
    Q_OBJECT

private slots:
    void tokens_data();
    void tokens();
    void tilingAndLines();
    void lineIndex_data();
    void lineIndex();
    void codeTokens();
    void lineByLine_data();
    void lineByLine();
    void lineEndState_data();
    void lineEndState();
};

void TestLexer::tokens_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tokens");

    QTest::newRow("brace comment in an expression")
        << u"IF(P=1,1{5F},2)"_s << u"N[IF] ( N[P] Op[=] Num[1] , Num[1] Com[{5F}] , Num[2] )"_s;
    QTest::newRow("brace comment over lines")
        << u"A{x\r\ny}B"_s << u"N[A] Com[{x] NL Com[y}] N[B]"_s;
    QTest::newRow("braces do not nest") << u"{a{b}c}"_s << u"Com[{a{b}] N[c] ?[}]"_s;
    QTest::newRow("line comment") << u"A//ZIG(C)\nB"_s << u"N[A] Com[//ZIG(C)] NL N[B]"_s;
    QTest::newRow("block comment") << u"A/*x\n*/B"_s << u"N[A] Com[/*x] NL Com[*/] N[B]"_s;
    QTest::newRow("unclosed brace") << u"A{x\nZIG"_s << u"N[A] Com[{x] NL Com[ZIG]"_s;
    QTest::newRow("unclosed block") << u"/*/"_s << u"Com[/*/]"_s;
    QTest::newRow("text") << u"DRAWTEXT(C,L,'▼\\N▼')"_s
                          << u"N[DRAWTEXT] ( N[C] , N[L] , Txt['▼\\N▼'] )"_s;
    QTest::newRow("unclosed text ends with its line") << u"'a{\nB"_s << u"Txt['a{] NL N[B]"_s;
    QTest::newRow("double quotes") << u"\"KDJ.K#WEEK\"+\"SH000016$CLOSE\""_s
                                   << u"Q[\"KDJ.K#WEEK\"] Op[+] Q[\"SH000016$CLOSE\"]"_s;
    // A stray quote must not hide the code after it from the check
    QTest::newRow("unclosed double quote") << u"\"ab\nC"_s << u"?[\"] N[ab] NL N[C]"_s;
    QTest::newRow("stray quote before a call")
        << u"\"ZIG(C,5)"_s << u"?[\"] N[ZIG] ( N[C] , Num[5] )"_s;
    QTest::newRow("full-width punctuation")
        << u"A：＝MA（C，5）；B："_s << u"N[A] ：＝ N[MA] （ N[C] ， Num[5] ） ； N[B] ："_s;
    QTest::newRow("note over lines")
        << u"#note \"a{\nb\";X"_s << u"Dir[#note] Note[\"a{] NL Note[b\"] ; N[X]"_s;
    QTest::newRow("quote after other directive")
        << u"#MAINCHART \"a\"\nb"_s << u"Dir[#MAINCHART] Q[\"a\"] NL N[b]"_s;
    QTest::newRow("period suffixes")
        << u"CLOSE#WEEK+MA(C,5)#min5+KDJ.K#Month"_s
        << u"N[CLOSE] Per[#WEEK] Op[+] N[MA] ( N[C] , Num[5] ) Per[#min5] Op[+] N[KDJ.K] Per[#Month]"_s;
    QTest::newRow("other sharps") << u"#WEEKLY Param#1 # MONTH"_s
                                  << u"Dir[#WEEKLY] N[Param] Dir[#1] ?[#] N[MONTH]"_s;
    QTest::newRow("chinese names")
        << u"乖离%:=C;【箱顶】:HHV(H,20);"_s
        << u"N[乖离%] := N[C] ; N[【箱顶】] : N[HHV] ( N[H] , Num[20] ) ;"_s;
    QTest::newRow("numbers")
        << u"5 0.5 .5 1E3 2e-2 5.;1EX"_s
        << u"Num[5] Num[0.5] Num[.5] Num[1E3] Num[2e-2] Num[5.] ; Num[1] N[EX]"_s;
    QTest::newRow("operators")
        << u"a>=b<=c<>d!=e==f&&g||h and I Or NOT j>k<l=m+n-o*p/q"_s
        << u"N[a] Op[>=] N[b] Op[<=] N[c] Op[<>] N[d] Op[!=] N[e] Op[==] N[f] Op[&&] N[g] Op[||] "
           u"N[h] Op[and] N[I] Op[Or] Op[NOT] N[j] Op[>] N[k] Op[<] N[l] Op[=] N[m] Op[+] N[n] "
           u"Op[-] N[o] Op[*] N[p] Op[/] N[q]"_s;
    QTest::newRow("strays") << u"A，B&!😀"_s << u"N[A] ， N[B] ?[&] ?[!] ?[😀]"_s;
    QTest::newRow("dotted and dollar") << u"KDJ.K+SH000016$CLOSE+A.5"_s
                                       << u"N[KDJ.K] Op[+] N[SH000016$CLOSE] Op[+] N[A] Num[.5]"_s;
}

void TestLexer::tokens()
{
    QFETCH(QString, text);
    QFETCH(QString, tokens);
    QCOMPARE(describe(text), tokens);
}

void TestLexer::tilingAndLines()
{
    expectTiling(u"A\r\nB\rC\nD😀E\n\n"_s, lex(u"A\r\nB\rC\nD😀E\n\n"_s));
    const QString sample = u"A\r\nB\rC\nD😀E"_s;
    const std::vector<Token> t = lex(sample);
    QCOMPARE(LineIndex(sample).at(t.back().offset).line, 4);
    QCOMPARE(LineIndex(sample).at(t.back().offset).column, 3);
    QRandomGenerator rng(7);
    for (int round = 0; round < 3000; ++round) {
        const QString text = randomText(rng);
        expectTiling(text, lex(text));
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(text));
    }
}

// Every offset, asked in a shuffled order, against a plain count from the start; the marks
// every 64 units fall inside a CR LF, a surrogate pair and long runs of line ends.
void TestLexer::lineIndex_data()
{
    QTest::addColumn<QString>("text");
    QTest::addRow("CR LF across a mark") << QString(63, u'A') + u"\r\nB\r\n"_s + QString(70, u'C');
    QTest::addRow("CR alone at a mark") << QString(63, u'A') + u"\rB"_s + QString(64, u'\r');
    QTest::addRow("surrogate pair across a mark") << QString(63, u'A') + u"😀😀\n😀"_s.repeated(30);
    QTest::addRow("line ends only") << u"\n\r\n\r"_s.repeated(100);
    QTest::addRow("one long line") << u"MA(C,5)+"_s.repeated(100);
    QTest::addRow("empty") << QString();
    QRandomGenerator rng(11);
    for (int k = 0; k < 4; ++k) {
        QString text;
        while (text.size() < 500)
            text += randomText(rng);
        QTest::addRow("random %d", k) << text;
    }
}

void TestLexer::lineIndex()
{
    QFETCH(QString, text);
    std::vector<SourcePos> expected;
    SourcePos pos;
    for (qsizetype k = 0; k <= text.size(); ++k) {
        pos.offset = k;
        expected.push_back(pos);
        if (k == text.size())
            break;
        const QChar c = text[k];
        if (c == u'\n' || (c == u'\r' && (k + 1 >= text.size() || text[k + 1] != u'\n'))) {
            ++pos.line;
            pos.column = 1;
        } else if (c != u'\r' && !c.isLowSurrogate()) {
            ++pos.column;
        }
    }
    std::vector<qsizetype> order(expected.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(5));
    const LineIndex lines(text);
    for (qsizetype k : order) {
        const SourcePos got = lines.at(k);
        const SourcePos &want = expected[static_cast<size_t>(k)];
        QVERIFY2(got.offset == k && got.line == want.line && got.column == want.column,
                 qPrintable(u"offset %1: %2:%3, expected %4:%5"_s.arg(k)
                                .arg(got.line)
                                .arg(got.column)
                                .arg(want.line)
                                .arg(want.column)));
    }
}

// lexCode keeps what lex gives but blanks and line ends, in order.
void TestLexer::codeTokens()
{
    QRandomGenerator rng(13);
    for (int round = 0; round < 500; ++round) {
        const QString text = randomText(rng);
        std::vector<Token> expected;
        for (const Token &t : lex(text)) {
            if (t.kind != TokenKind::Space && t.kind != TokenKind::Newline)
                expected.push_back(t);
        }
        const std::vector<Token> got = lexCode(text);
        QCOMPARE(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            QVERIFY2(got[i].offset == expected[i].offset && got[i].length == expected[i].length &&
                         got[i].kind == expected[i].kind,
                     qPrintable(text));
        }
    }
}

void TestLexer::lineByLine_data()
{
    QTest::addColumn<int>("seed");
    for (int seed = 1; seed <= 4; ++seed)
        QTest::addRow("seed %d", seed) << seed;
}

void TestLexer::lineByLine()
{
    QFETCH(int, seed);
    QRandomGenerator rng(static_cast<quint32>(seed));
    for (int round = 0; round < 1000; ++round) {
        const QString text = randomText(rng);
        expectLineByLineAgrees(text);
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(text));
    }
}

void TestLexer::lineEndState_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");
    const int normal = int(LexState::Normal);
    QTest::newRow("open brace") << u"A:=1;{ZIG"_s << normal << int(LexState::InBrace);
    QTest::newRow("closed brace") << u"{a}"_s << normal << normal;
    QTest::newRow("brace goes on")
        << u"still"_s << int(LexState::InBrace) << int(LexState::InBrace);
    QTest::newRow("brace ends") << u"x}A"_s << int(LexState::InBrace) << normal;
    QTest::newRow("block opens") << u"/* a"_s << normal << int(LexState::InBlock);
    QTest::newRow("block ends") << u"*/ {"_s << int(LexState::InBlock) << int(LexState::InBrace);
    QTest::newRow("brace inside block")
        << u"{"_s << int(LexState::InBlock) << int(LexState::InBlock);
    QTest::newRow("note opens") << u"#NOTE \"a"_s << normal << int(LexState::InNote);
    QTest::newRow("note ends") << u"a\";{"_s << int(LexState::InNote) << int(LexState::InBrace);
    QTest::newRow("line comment") << u"// {"_s << normal << normal;
    QTest::newRow("text") << u"'{"_s << normal << normal;
}

void TestLexer::lineEndState()
{
    QFETCH(QString, line);
    QFETCH(int, start);
    QFETCH(int, end);
    std::vector<Token> tokens;
    QCOMPARE(int(lexLine(line, static_cast<LexState>(start), &tokens)), end);
    expectTiling(line, tokens);
    // The highlighter's long lines: the state alone, no tokens kept.
    QCOMPARE(int(lexLine(line, static_cast<LexState>(start), nullptr)), end);
}

QTEST_APPLESS_MAIN(TestLexer)
#include "tst_lexer.moc"
