#include "offsets.h"
#include "precise.h"

#include <QJsonArray>
#include <QTest>

using namespace morvane::formula;
using namespace Qt::StringLiterals;

namespace {

const QStringList kBuiltins = {
    u"ZIG"_s,     u"ZIGA"_s,    u"PEAK"_s,       u"PEAKA"_s,   u"PEAKBARS"_s, u"PEAKBARSA"_s,
    u"TROUGH"_s,  u"TROUGHA"_s, u"TROUGHBARS"_s, u"FLATZIG"_s, u"FLATZIGA"_s, u"FFT"_s,
    u"BACKSET"_s, u"WINNER"_s,  u"LWINNER"_s,    u"COST"_s,    u"CAPITAL"_s,  u"DYNAINFO"_s,
    u"FINANCE"_s, u"XMA"_s,     u"#MONTH"_s,     u"#WEEK"_s,   u"#YEAR"_s};

// ZIG/future@1:4,2:1 PEAK/future@3:1
QString renderFound(const PreciseResult &r)
{
    QStringList out;
    for (const FoundName &f : r.found) {
        QStringList places;
        for (const NameOccurrence &o : f.occurrences)
            places << u"%1:%2"_s.arg(o.line).arg(o.column);
        out << f.name + u'/' + classWord(f.cls) + u'@' + places.join(u',');
    }
    return out.join(u' ');
}

// REF/unsure@1:3 TDXDLL1/unchecked@2:3
QString renderDoubts(const PreciseResult &r)
{
    QStringList out;
    for (const FoundName &f : r.doubts) {
        QStringList places;
        for (const NameOccurrence &o : f.occurrences)
            places << u"%1:%2"_s.arg(o.line).arg(o.column);
        out << f.name + u'/' + classWord(f.cls) + u'@' + places.join(u',');
    }
    return out.join(u' ');
}

// -10..-1 for each occurrence with an analysed offset: REF@1:3=-10..-1; unbounded ends as inf
QString renderOffsets(const PreciseResult &r)
{
    QStringList out;
    for (const auto *list : {&r.found, &r.doubts}) {
        for (const FoundName &f : *list) {
            for (const NameOccurrence &o : f.occurrences) {
                if (o.hasOffset())
                    out << u"%1@%2:%3=%4..%5"_s.arg(f.name)
                               .arg(o.line)
                               .arg(o.column)
                               .arg(o.offsetLow)
                               .arg(o.offsetHigh);
            }
        }
    }
    return out.join(u' ');
}

// PEAK@1:3=identifier
QString renderIgnored(const PreciseResult &r)
{
    QStringList out;
    for (const IgnoredName &g : r.ignored)
        out << u"%1@%2:%3=%4"_s.arg(g.name).arg(g.line).arg(g.column).arg(whyWord(g.why));
    return out.join(u' ');
}

} // namespace

class TestPrecise : public QObject
{
    Q_OBJECT

private slots:
    void check_data();
    void check();
    void knowledge_data();
    void knowledge();
    void json();
    void affects_data();
    void affects();
    void verdicts_data();
    void verdicts();
    void disguisedOffsets_data();
    void disguisedOffsets();
    void scansAreLinear_data();
    void scansAreLinear();
    void ignoredAreCounted_data();
    void ignoredAreCounted();
};

void TestPrecise::check_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("list"); // empty: the 23 built-ins
    QTest::addColumn<QString>("found");
    QTest::addColumn<QString>("ignored");

    QTest::newRow("brace comment")
        << u"{ZIG(C,5)} A:=1;"_s << QStringList() << QString() << u"ZIG@1:2=comment"_s;
    QTest::newRow("other comments")
        << u"A:=C;//PEAK(1,5,1)\n/*BACKSET\n(X,2)*/{ZIG"_s << QStringList() << QString()
        << u"PEAK@1:8=comment BACKSET@2:3=comment ZIG@3:9=comment"_s;
    QTest::newRow("text") << u"DRAWTEXT(1,L,'ZIG'),COLORRED;\"ZIG.A\";#NOTE \"x\nWINNER\""_s
                          << QStringList() << QString()
                          << u"ZIG@1:15=text ZIG@1:31=text WINNER@2:1=text"_s;
    QTest::newRow("longer names") << u"X:PEAKBARS(3,5,1);"_s << QStringList()
                                  << u"PEAKBARS/future@1:3"_s << u"PEAK@1:3=identifier"_s;
    QTest::newRow("zig family")
        << u"FLATZIGA(C,5)"_s << QStringList() << u"FLATZIGA/future@1:1"_s
        << u"FLATZIG@1:1=identifier ZIGA@1:5=identifier ZIG@1:5=identifier"_s;
    QTest::newRow("COST1") << u"COST1:=C; X:COST1>COST(90);"_s << QStringList()
                           << u"COST/drift@1:19"_s << u"COST@1:1=identifier COST@1:13=identifier"_s;
    QTest::newRow("defined variable") << u"PEAK:=HHV(H,5); X:C>PEAK;"_s << QStringList()
                                      << QString() << u"PEAK@1:1=defined PEAK@1:21=defined"_s;
    QTest::newRow("defined output, then called")
        << u"PEAK:HHV(H,5);X:PEAK(1,5,1);"_s << QStringList() << u"PEAK/future@1:17"_s
        << u"PEAK@1:1=defined"_s;
    QTest::newRow("used before its definition")
        << u"A:TROUGH;\nTROUGH:=1;"_s << QStringList() << u"TROUGH/future@1:3"_s
        << u"TROUGH@2:1=defined"_s;
    QTest::newRow("REF offsets") << u"A:REF(C,-1);B:REF(C,1);N:=2;D:REF(C,N);E:refv(C,-(1+1));"_s
                                 << QStringList() << u"REF/future@1:3 REFV/future@1:42"_s
                                 << QString();
    QTest::newRow("REF in a broken statement")
        << u"A:REF(C,-1)+;B:REF(C , - 2)*;"_s << QStringList() << u"REF/future@1:3,1:16"_s
        << QString();
    QTest::newRow("MONTH against #MONTH")
        << u"A:MONTH=12;B:C#MONTH;"_s << QStringList() << u"#MONTH/drift@1:15"_s << QString();
    QTest::newRow("periods in quotes")
        << u"A:\"KDJ.K#WEEK\";B:\"X#WEEKLY\";'#YEAR'"_s << QStringList() << u"#WEEK/drift@1:9"_s
        << u"#WEEK@1:20=text #YEAR@1:30=text"_s;
    QTest::newRow("periods not listed") << u"MA(C,5)#Min5+C#WEEKLY"_s << QStringList()
                                        << u"#MIN5/drift@1:8"_s << u"#WEEK@1:15=identifier"_s;
    QTest::newRow("known but not listed")
        << u"ISLASTBAR AND refx(C,1)>0"_s << QStringList{u"zig"_s}
        << u"ISLASTBAR/lastbar@1:1 REFX/future@1:15"_s << QString();
    QTest::newRow("listed names") << u"X:MyFunc(C)+MYFUNC2;{MYFUNC}#FOO"_s
                                  << QStringList{u"myfunc"_s, u"#foo"_s, u" "_s, QString()}
                                  << u"MYFUNC/listed@1:3 #FOO/listed@1:29"_s
                                  << u"MYFUNC@1:13=identifier MYFUNC@1:22=comment"_s;
    QTest::newRow("entry with spaces") << u"X:A B;{A B}'A B'"_s << QStringList{u"a b"_s}
                                       << u"A B/listed@1:3"_s << u"A B@1:8=comment A B@1:13=text"_s;
    QTest::newRow("entry over a comment")
        << u"A(C{x}"_s << QStringList{u"A(C{"_s} << QString() << u"A(C{@1:1=comment"_s;
    // The check keeps no tokens for blanks, and comments apart: entries that start in blanks
    // or run from code into a comment or a quote.
    QTest::newRow("entry starting in blanks")
        << u"X:1; B(C);\n  B(C)"_s << QStringList{u" b("_s} << u" B(/listed@1:5,2:2"_s << QString();
    QTest::newRow("entry from blanks into a comment")
        << u"A {B}"_s << QStringList{u" {b"_s} << QString() << u" {B@1:2=comment"_s;
    QTest::newRow("entry from blanks into a quote")
        << u"A 'B'"_s << QStringList{u" 'b"_s} << QString() << u" 'B@1:2=text"_s;
    QTest::newRow("entry from a comment into code")
        << u"{c} A"_s << QStringList{u"} a"_s} << QString() << u"} A@1:3=comment"_s;
    QTest::newRow("entry ending in blanks") << u"X:A  \n{A  }"_s << QStringList{u"a  "_s}
                                            << u"A  /listed@1:3"_s << u"A  @2:2=comment"_s;
    QTest::newRow("chinese names and case")
        << u"乖离%:=dynainfo(7);【箱顶】:Zig(3,10);ZIG线:1;"_s << QStringList()
        << u"DYNAINFO/drift@1:6 ZIG/future@1:23"_s << u"ZIG@1:33=identifier"_s;
    QTest::newRow("lines") << u"A:=1;\r\n{x}B:ZIG(C,5);\rC:ZIG(C,3)"_s << QStringList()
                           << u"ZIG/future@2:6,3:3"_s << QString();
    // Lines and columns where a comment runs over several lines.
    QTest::newRow("multi-line comment")
        << u"{ a\n ZIG }\nB:1;"_s << QStringList() << QString() << u"ZIG@2:2=comment"_s;
    QTest::newRow("beyond the BMP") << u"'😀'+𠀀ZIG;ZIG(C,1)"_s << QStringList()
                                    << u"ZIG/future@1:10"_s << u"ZIG@1:6=identifier"_s;
}

void TestPrecise::check()
{
    QFETCH(QString, text);
    QFETCH(QStringList, list);
    QFETCH(QString, found);
    QFETCH(QString, ignored);
    const PreciseResult r = preciseCheck(text, list.isEmpty() ? kBuiltins : list);
    QCOMPARE(renderFound(r), found);
    QCOMPARE(renderIgnored(r), ignored);
    // offset and length select the name itself
    for (const FoundName &f : r.found) {
        for (const NameOccurrence &o : f.occurrences)
            QCOMPARE(text.mid(o.offset, o.length).toUpper(), f.name);
    }
    for (const IgnoredName &g : r.ignored)
        QCOMPARE(text.mid(g.offset, g.length).toUpper(), g.name);
}

void TestPrecise::knowledge_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("cls"); // empty: unknown
    QTest::newRow("ZIG") << u"zig"_s << u"future"_s;
    QTest::newRow("BARSNEXT") << u"BARSNEXT"_s << u"future"_s;
    QTest::newRow("REF") << u"REF"_s << u"future"_s;
    QTest::newRow("#WEEK") << u"#week"_s << u"drift"_s;
    QTest::newRow("#HALFYEAR") << u"#HALFYEAR"_s << u"drift"_s;
    QTest::newRow("PWINNER") << u"PWINNER"_s << u"drift"_s;
    QTest::newRow("CONST") << u"CONST"_s << u"lastbar"_s;
    QTest::newRow("MONTH") << u"MONTH"_s << QString();
    QTest::newRow("FILTER") << u"FILTER"_s << QString();
}

void TestPrecise::knowledge()
{
    QFETCH(QString, name);
    QFETCH(QString, cls);
    const KnownName *k = knownName(name);
    QCOMPARE(k ? QString(classWord(k->cls)) : QString(), cls);
    if (k) {
        QVERIFY(!k->reason.isEmpty());
        QCOMPARE(k->negativeOffsetOnly, name == u"REF");
    }
    for (const QString &builtin : kBuiltins)
        QVERIFY2(knownName(builtin), qPrintable(builtin));
}

void TestPrecise::json()
{
    const QJsonObject o = toJson(preciseCheck(u"A:ZIG(C,5)+;{PEAK}"_s, kBuiltins));
    const QJsonObject zig = o[u"found"_s].toArray()[0].toObject();
    QCOMPARE(zig[u"name"_s].toString(), u"ZIG"_s);
    QCOMPARE(zig[u"class"_s].toString(), u"future"_s);
    QCOMPARE(zig[u"occurrences"_s].toArray()[0].toObject()[u"column"_s].toInt(), 3);
    QCOMPARE(o[u"ignored"_s].toArray()[0].toObject()[u"why"_s].toString(), u"comment"_s);
    QCOMPARE(o[u"notes"_s].toArray()[0].toObject()[u"line"_s].toInt(), 1);
}

void TestPrecise::disguisedOffsets_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("found");
    QTest::addColumn<QString>("doubts");
    QTest::newRow("negative variable")
        << u"N:=-1; A:REF(C,N);"_s << u"REF/future@1:10"_s << QString();
    QTest::newRow("negated variable")
        << u"N:=5; A:REF(C,-N);"_s << u"REF/future@1:9"_s << QString();
    QTest::newRow("negated count")
        << u"A:REF(C,-BARSCOUNT(C));"_s << u"REF/future@1:3"_s << QString();
    QTest::newRow("negated negative") << u"N:=-1; A:REF(C,-N);"_s << QString() << QString();
    QTest::newRow("declared parameter")
        << u"N:=(-10,10,-2);\nA:REFV(C,N);"_s << u"REFV/future@2:3"_s << QString();
    QTest::newRow("through arithmetic")
        << u"M:=3; N:=M*2-10; A:REF(C,N+1);"_s << u"REF/future@1:20"_s << QString();
    QTest::newRow("both branches negative")
        << u"A:REF(C,IF(C>O,-1,-2));"_s << u"REF/future@1:3"_s << QString();
    QTest::newRow("never negative")
        << u"A:REF(C,BARSLAST(C>O)+ABS(C-O));B:REF(C,MAX(C,-1));"_s << QString() << QString();
    QTest::newRow("sign unknown") << u"A:REF(C,IF(C>O,1,-1));\nB:REF(C,COUNT(C>O,5)-3);"_s
                                  << QString() << u"REF/unsure@1:3,2:3"_s;
    QTest::newRow("undeclared parameter, negated")
        << u"A:REF(C,N);B:REF(C,-N);"_s << u"REF/future@1:14"_s << QString();
    QTest::newRow("plug-in") << u"A:=C;\nX:TDXDLL1(1,C,O,H)+TDXDLL2(2,C,O,H);"_s << QString()
                             << u"TDXDLL1/unchecked@2:3 TDXDLL2/unchecked@2:20"_s;
    QTest::newRow("in a comment, not a call")
        << u"{TDXDLL1(1,C,O,H)} A:REF(C,1);"_s << QString() << QString();
}

// What a trader reads as the headline: never clean where something could not be checked.
void TestPrecise::verdicts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QString>("found");
    QTest::addColumn<QString>("doubts");
    QTest::addColumn<QString>("offsets");
    QTest::newRow("style word hides nothing")
        << u"N:=-1; 明日价:REF(C,N)COLORRED,LINETHICK2;"_s << u"found"_s << u"REF/future@1:12"_s
        << QString() << u"REF@1:12=-1..-1"_s;
    QTest::newRow("missing parenthesis")
        << u"A:MA(C,5;\nB:C;"_s << u"incomplete"_s << QString() << QString() << QString();
    QTest::newRow("broken statement, variable offset")
        << u"N:=-1;\nA:MA(REF(C,N),5;"_s << u"found"_s << u"REF/future@2:6"_s << QString()
        << u"REF@2:6=-1..-1"_s;
    QTest::newRow("broken statement, offset not read")
        << u"A:REF(C,N+;"_s << u"incomplete"_s << QString() << u"REF/unsure@1:3"_s << QString();
    QTest::newRow("plug-in") << u"A:TDXDLL1(1,C,O,H);"_s << u"incomplete"_s << QString()
                             << u"TDXDLL1/unchecked@1:3"_s << QString();
    QTest::newRow("bars to the highest, minus the window")
        << u"A:REF(C,HHVBARS(H,10)-10);"_s << u"found"_s << u"REF/future@1:3"_s << QString()
        << u"REF@1:3=-10..-1"_s;
    QTest::newRow("an expression minus itself")
        << u"A:REF(C,BARSCOUNT(C)-BARSCOUNT(C)-1);"_s << u"found"_s << u"REF/future@1:3"_s
        << QString() << u"REF@1:3=-1..-1"_s;
    QTest::newRow("branch of either sign")
        << u"A:REF(C,IF(BARSCOUNT(C)>10,-1,1));"_s << u"incomplete"_s << QString()
        << u"REF/unsure@1:3"_s << u"REF@1:3=-1..1"_s;
    QTest::newRow("truncated to today")
        << u"A:REF(C,INTPART(-0.5));"_s << u"clean"_s << QString() << QString() << QString();
    QTest::newRow("count window") << u"A:REF(C,COUNT(C>O,5));"_s << u"clean"_s << QString()
                                  << QString() << QString();
    QTest::newRow("parameter range allows negatives")
        << u"N:=(-5,5,1);\nA:REF(C,N);"_s << u"incomplete"_s << QString() << u"REF/unsure@2:3"_s
        << u"REF@2:3=-5..5"_s;
    QTest::newRow("parameter negative at its default")
        << u"N:=(-10,10,-2);\nA:REF(C,N);"_s << u"found"_s << u"REF/future@2:3"_s << QString()
        << u"REF@2:3=-2..-2"_s;
    QTest::newRow("parameter range never negative")
        << u"N:=(1,20,5);\nA:REF(C,N);"_s << u"clean"_s << QString() << QString() << QString();
    QTest::newRow("BACKSET of one bar")
        << u"A:BACKSET(C>O,1);"_s << u"clean"_s << QString() << QString() << QString();
    QTest::newRow("BACKSET of two bars") << u"A:BACKSET(C>O,2);"_s << u"found"_s
                                         << u"BACKSET/future@1:3"_s << QString() << QString();
    QTest::newRow("BACKSET of a parameter") << u"A:BACKSET(C>O,N);"_s << u"found"_s
                                            << u"BACKSET/future@1:3"_s << QString() << QString();
    QTest::newRow("functions the evaluator lacks")
        << u"A:IFELSE(C>O,1,0);DRAWGBK(C>O,RGB(0,0,0),RGB(1,1,1),0,0,0);B:STRCAT(CON2STR(C,2),'');"_s
        << u"clean"_s << QString() << QString() << QString();
    QTest::newRow("another formula, called") << u"A:KDJ.J(14,5,3);"_s << u"incomplete"_s
                                             << QString() << u"KDJ.J/unchecked@1:3"_s << QString();
    QTest::newRow("another formula, quoted")
        << u"A:\"MACD.MACD\"+\"SH000016$CLOSE\";"_s << u"incomplete"_s << QString()
        << u"MACD.MACD/unchecked@1:4"_s << QString();
    QTest::newRow("undocumented name")
        << u"A:FOO(C);"_s << u"incomplete"_s << QString() << u"FOO/unchecked@1:3"_s << QString();
    QTest::newRow("name with full-width parentheses")
        << u"营收（亿）:FINANCE(20)/10000;"_s << u"found"_s << u"FINANCE/drift@1:7"_s << QString()
        << QString();
    QTest::newRow("pasted heading and stray quote")
        << u"#测试指标#\n\"A:ZIG(C,5);"_s << u"found"_s << u"ZIG/future@2:4"_s << QString()
        << QString();
    QTest::newRow("last-bar warning alone")
        << u"A:ISLASTBAR;"_s << u"clean"_s << u"ISLASTBAR/lastbar@1:3"_s << QString() << QString();
}

void TestPrecise::verdicts()
{
    QFETCH(QString, text);
    QFETCH(QString, verdict);
    QFETCH(QString, found);
    QFETCH(QString, doubts);
    QFETCH(QString, offsets);
    const PreciseResult r = preciseCheck(text, kBuiltins);
    QCOMPARE(renderFound(r), found);
    QCOMPARE(renderDoubts(r), doubts);
    QCOMPARE(renderOffsets(r), offsets);
    QCOMPARE(verdictWord(verdictOf(r)), verdict);
    QCOMPARE(toJson(r)[u"verdict"_s].toString(), verdict);
}

// Which outputs each finding reaches, through variables, and which of them are signals.
void TestPrecise::affects_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("affects"); // per finding: NAME=output,output*(signal)
    QTest::newRow("through a variable to three outputs")
        << u"Z:=ZIG(3,5);\n上涨:Z>REF(Z,1);\n下跌:Z<REF(Z,1);\nXG:CROSS(上涨,0.5);\nMA5:MA(C,5);"_s
        << u"ZIG=上涨*,下跌*,XG*"_s;
    QTest::newRow("drawing condition is a signal, its price is not")
        << u"Z:=ZIG(3,5);\nDRAWTEXT(Z>REF(Z,1),L,'买');\nDRAWICON(C>O,Z,1);"_s
        << u"ZIG=@2DRAWTEXT*,@3DRAWICON"_s;
    QTest::newRow("a variable nobody uses") << u"A:=PEAK(3,5,1);\nB:MA(C,5);"_s << u"PEAK="_s;
    QTest::newRow("only the negative REF taints")
        << u"A:REF(C,1);\nB:REF(C,-1);\nC1:A+B;"_s << u"REF=B,C1"_s;
    QTest::newRow("redefined variable loses the taint")
        << u"X:=BACKSET(C>O,3);\nX:=C;\nY:X;"_s << u"BACKSET="_s;
    QTest::newRow("period suffix") << u"W:=C#WEEK;\nSIG:IF(W>O,1,0);"_s << u"#WEEK=SIG*"_s;
    QTest::newRow("unnamed line") << u"ZIG(3,5);"_s << u"ZIG=@1"_s;
    QTest::newRow("the drawing itself")
        << u"DRAWLINE(C>O,H,C<O,L,0);"_s << u"DRAWLINE=@1DRAWLINE"_s;
}

void TestPrecise::affects()
{
    QFETCH(QString, text);
    QFETCH(QString, affects);
    QStringList out;
    for (const FoundName &f : preciseCheck(text, kBuiltins).found) {
        QStringList names;
        for (const AffectedOutput &a : f.affects) {
            QString n = a.drawing || a.name.isEmpty() ? u"@%1%2"_s.arg(a.line).arg(a.name) : a.name;
            names << n + (a.signal ? u"*"_s : QString());
        }
        out << f.name + u'=' + names.join(u',');
    }
    QCOMPARE(out.join(u' '), affects);
}

void TestPrecise::disguisedOffsets()
{
    QFETCH(QString, text);
    QFETCH(QString, found);
    QFETCH(QString, doubts);
    const PreciseResult r = preciseCheck(text, kBuiltins);
    QCOMPARE(renderFound(r), found);
    QCOMPARE(renderDoubts(r), doubts);
    // Names nobody documents are doubts; the language's own functions are not, whether or
    // not the evaluator runs them.
    const PreciseResult known =
        preciseCheck(u"A:FOO(C)+MA(C,5)+IFELSE(C>O,1,0)+STRLEN(CON2STR(C,2));"_s, kBuiltins);
    QCOMPARE(renderDoubts(known), u"FOO/unchecked@1:3"_s);
    QVERIFY(known.doubts[0].reason.contains(u"不认识"_s));
}

void TestPrecise::scansAreLinear_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("120,000 unclosed REF(") << u"REF("_s.repeated(120000);
    QTest::newRow("100,000 nested REF(REF(") << u"A:"_s + u"REF(REF("_s.repeated(50000);
    QTest::newRow("100,000 closed REF(C,-1)")
        << u"A:"_s + u"REF(C,-1)+"_s.repeated(100000) + u"1;"_s;
}

// The texts on which the scans were quadratic: the first two took minutes when the REF offset
// scan began anew at each name. Their time is the benchmarks' to measure, not a test's to bound
// (a loaded machine under the sanitizers took 6 s); here the results stay whole.
void TestPrecise::scansAreLinear()
{
    QFETCH(QString, text);
    const PreciseResult r = preciseCheck(text, kBuiltins);
    const std::vector<Token> tokens = lex(text);
    const std::vector<size_t> negative = negativeOffsetTokens(text, tokens);
    if (text.contains(u"-1)"_s)) {
        QCOMPARE(negative.size(), size_t(100000));
        QCOMPARE(r.found.at(0).occurrences.size(), size_t(100000));
    } else {
        QVERIFY(negative.empty());
    }
}

void TestPrecise::ignoredAreCounted_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<qsizetype>("hits"); // occurrences that do not count, kept or not
    QTest::newRow("unclosed comment")
        << u"{"_s + u"ZIG "_s.repeated(200000) << QStringList() << qsizetype(200000);
    QTest::newRow("unclosed quote")
        << u"A:'"_s + u"PEAK "_s.repeated(200000) << QStringList() << qsizetype(200000);
    // Nested prefixes of one long name: a hit for every entry at almost every place.
    QStringList prefixes;
    for (int k = 1; k <= 400; ++k)
        prefixes << QString(k, u'A');
    QTest::newRow("nested list entries") << u"X:"_s + QString(20000, u'A') + u";"_s << prefixes
                                         << qsizetype(400) * 20001 - qsizetype(400) * 401 / 2;
    // A text of comments alone leaves the check no code token to settle retired hits by.
    QTest::newRow("nested list entries in a comment")
        << u"{"_s + QString(20000, u'A') << prefixes
        << qsizetype(400) * 20001 - qsizetype(400) * 401 / 2;
    // 1.5 billion hits: told one by one they took a minute; past the bounds they are counted.
    QStringList many;
    for (int k = 1; k <= 5000; ++k)
        many << QString(k, u'A');
    QTest::newRow("5,000 nested entries, 300 KB")
        << u"X:"_s + QString(300000, u'A') + u";"_s << many
        << qsizetype(5000) * 300001 - qsizetype(5000) * 5001 / 2;
    // Past its bound a name still counts where it is the whole name.
    QString lines;
    for (int i = 0; i < 3000; ++i)
        lines += u"AAAA:=AAAA+AAAAAAAAB;\n"_s;
    QTest::newRow("bounded names, whole ones still count")
        << lines + u"X:AAAAA;"_s << prefixes << qsizetype(-1);
}

// What does not count is kept up to a bound, per name and in all, and counted beyond it:
// memory no longer grows with list entries times formula length.
void TestPrecise::ignoredAreCounted()
{
    QFETCH(QString, text);
    QFETCH(QStringList, list);
    QFETCH(qsizetype, hits);
    const PreciseResult r = preciseCheck(text, list.isEmpty() ? kBuiltins : list);
    QVERIFY(static_cast<qsizetype>(r.ignored.size()) <= kMaxIgnored);
    QVERIFY(!r.ignored.empty());
    if (hits < 0) {
        QCOMPARE(r.found.size(), size_t(1));
        QCOMPARE(r.found[0].name, u"AAAAA"_s);
        QCOMPARE(r.found[0].occurrences.at(0).line, 3001);
        return;
    }
    QCOMPARE(static_cast<qsizetype>(r.ignored.size()) + r.ignoredOmitted, hits);
    QCOMPARE(toJson(r).value(u"ignoredOmitted"_s).toInteger(), r.ignoredOmitted);
}

QTEST_APPLESS_MAIN(TestPrecise)
#include "tst_precise.moc"
