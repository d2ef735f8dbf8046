#include "parser.h"

#include <QTest>

using namespace morvane::formula;
using namespace Qt::StringLiterals;

namespace {

QString render(const Expr &e)
{
    QString s;
    switch (e.kind) {
    case ExprKind::Number:
        s = QString::number(e.number);
        break;
    case ExprKind::String:
        s = e.doubleQuoted ? u'"' + e.text + u'"' : u'\'' + e.text + u'\'';
        break;
    case ExprKind::Name:
        s = e.text;
        break;
    case ExprKind::Call: {
        QStringList args;
        for (const ExprPtr &a : e.args)
            args << render(*a);
        s = e.text + u'(' + args.join(u',') + u')';
        break;
    }
    case ExprKind::Unary:
    case ExprKind::Binary: {
        QStringList parts{e.text};
        for (const ExprPtr &a : e.args)
            parts << render(*a);
        s = u'(' + parts.join(u' ') + u')';
        break;
    }
    case ExprKind::Error:
        s = u"ERROR"_s;
        break;
    }
    return s + e.period;
}

QString render(const Program &p)
{
    QStringList out;
    for (const Statement &s : p.statements) {
        QString line = s.kind == StatementKind::Variable ? s.name + u":="_s
                       : s.kind == StatementKind::Output ? s.name + u':'
                                                         : QString();
        line += render(*s.value);
        for (const ExprPtr &a : s.attributes)
            line += u',' + render(*a);
        out << line;
    }
    QStringList salvaged;
    for (const ExprPtr &e : p.salvaged)
        salvaged << render(*e);
    return out.join(u"; "_s) +
           (salvaged.isEmpty() ? QString() : u" | salvaged "_s + salvaged.join(u' '));
}

QString notes(const Program &p)
{
    QStringList out;
    for (const SyntaxNote &n : p.notes)
        out << u"%1:%2"_s.arg(n.pos.line).arg(n.pos.column);
    return out.join(u' ');
}

} // namespace

class TestParser : public QObject
{
    Q_OBJECT

private slots:
    void program_data();
    void program();
    void positions();
    void limits();
};

void TestParser::program_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("notes");

    QTest::newRow("statement kinds")
        << u"a:=ma(c,5);B:A>REF(A,1),COLORRED,LINETHICK2;DRAWTEXT(X,L,'买'),colorred"_s
        << u"A:=MA(C,5); B:(> A REF(A,1)),COLORRED,LINETHICK2; DRAWTEXT(X,L,'买'),COLORRED"_s
        << QString();
    QTest::newRow("precedence")
        << u"1+2*3>4 AND NOT X OR Y && Z-1/2<=.5"_s
        << u"(OR (AND (> (+ 1 (* 2 3)) 4) (NOT X)) (&& Y (<= (- Z (/ 1 2)) 0.5)))"_s << QString();
    QTest::newRow("left to right")
        << u"8-2-1; 8/2/2"_s << u"(- (- 8 2) 1); (/ (/ 8 2) 2)"_s << QString();
    QTest::newRow("signs and parentheses")
        << u"REF(C,-1)+(-(1E3))*+2"_s << u"(+ REF(C,(- 1)) (* (- 1000) (+ 2)))"_s << QString();
    QTest::newRow("periods") << u"CLOSE#WEEK+MA(C,5)#week+\"KDJ.K#Month\"+'X#WEEK'"_s
                             << u"(+ (+ (+ CLOSE#WEEK MA(C,5)#WEEK) \"KDJ.K\"#MONTH) 'X#WEEK')"_s
                             << QString();
    QTest::newRow("comments anywhere")
        << u"IF(P=1,1{5F},2)/*x*/;//y\nA:1"_s << u"IF((= P 1),1,2); A:1"_s << QString();
    QTest::newRow("directives") << u"#NOTE \"a\nb\";#MAINCHART\nX:Param#1+1;"_s
                                << u"X:(+ PARAM 1)"_s << QString();
    QTest::newRow("chinese names")
        << u"乖离%:=(C-MA(C,6))/MA(C,6);【箱顶】:乖离%>5;"_s
        << u"乖离%:=(/ (- C MA(C,6)) MA(C,6)); 【箱顶】:(> 乖离% 5)"_s << QString();
    QTest::newRow("references") << u"\"SH000016$CLOSE\"+KDJ.K"_s
                                << u"(+ \"SH000016$CLOSE\" KDJ.K)"_s << QString();
    QTest::newRow("parameter lines")
        << u"NT:=(0,1,0);  {Param#0}\nX:(1);Y:=();Z:1"_s << u"NT:=(0,1,0); X:1; Z:1"_s << u"2:12"_s;
    QTest::newRow("broken statement skipped") << u"A:=1+;B:=2;"_s << u"B:=2"_s << u"1:6"_s;
    QTest::newRow("unclosed call") << u"A:=MA(C,5;B:=2"_s << u"B:=2"_s << u"1:10"_s;
    QTest::newRow("missing semicolon") << u"A:=1\r\nB:=2;C:3"_s << u"B:=2; C:3"_s << u"2:1"_s;
    QTest::newRow("stray tokens") << u"A:=1;);,;X:=2 3;Y:=#WEEK;Z:=1"_s << u"A:=1; Z:=1"_s
                                  << u"1:6 1:8 1:15 1:20"_s;
    QTest::newRow("ends mid-statement") << u"A:=1;B:=MA("_s << u"A:=1"_s << u"1:12"_s;
    QTest::newRow("empty") << u" {only a comment} "_s << QString() << QString();

    // Forms published formulas use that the charting software accepts
    QTest::newRow("style word right after a call")
        << u"N:=-1; 明日价:REF(C,N)COLORRED,LINETHICK2;"_s
        << u"N:=(- 1); 明日价:REF(C,N),COLORRED,LINETHICK2"_s << QString();
    QTest::newRow("style word after a drawing call")
        << u"STICKLINE(C>O,C,O,2,0)DOTLINE;DRAWTEXT(C>O,L,'买')COLOR00FFFF;"_s
        << u"STICKLINE((> C O),C,O,2,0),DOTLINE; DRAWTEXT((> C O),L,'买'),COLOR00FFFF"_s
        << QString();
    QTest::newRow("style words in a row")
        << u"A:C,LINETHICK1 DOTLINE;B:C DOTLINE COLORRED;C1:C NODRAW,COLORSTICK"_s
        << u"A:C,LINETHICK1,DOTLINE; B:C,DOTLINE,COLORRED; C1:C,NODRAW,COLORSTICK"_s << QString();
    QTest::newRow("full-width punctuation")
        << u"A：＝MA（C，5）；B：A，COLORRED；"_s << u"A:=MA(C,5); B:A,COLORRED"_s << QString();
    QTest::newRow("full-width parentheses in a name")
        << u"营收（亿）:FINANCE(20)/10000;X:营收（亿）>1;"_s
        << u"营收（亿）:(/ FINANCE(20) 10000); X:(> 营收（亿） 1)"_s << QString();
    QTest::newRow("heading line") << u"#我的指标#\r\nA:C;"_s << u"A:C"_s << QString();
    QTest::newRow("stray quote at the start") << u"\"A:C;\nB:O;"_s << u"A:C; B:O"_s << QString();
    QTest::newRow("not a style word") << u"A:C FOO;"_s << QString() << u"1:5"_s;

    // What a broken statement still shows a checker
    QTest::newRow("salvaged calls")
        << u"A:=REF(C,N)+;B:=2;"_s << u"B:=2 | salvaged REF(C,N)"_s << u"1:13"_s;
    QTest::newRow("salvaged inside a broken call")
        << u"X:MA(REF(C,-N),5;"_s << u" | salvaged REF(C,(- N))"_s << u"1:17"_s;
}

void TestParser::program()
{
    QFETCH(QString, text);
    QFETCH(QString, tree);
    QFETCH(QString, notes);
    const Program p = parse(text);
    QCOMPARE(render(p), tree);
    QCOMPARE(::notes(p), notes);
}

void TestParser::positions()
{
    const Program p = parse(u"A:=1;\n  B : MA(C,5)+😀X;\r\n  REF(C,-1);"_s);
    QCOMPARE(p.statements.size(), size_t(2));
    QCOMPARE(p.notes.size(), size_t(1)); // 😀 is no value
    const Statement &r = p.statements[1];
    QCOMPARE(r.pos.line, 3);
    QCOMPARE(r.pos.column, 3);
    const Expr &minus = *r.value->args[1];
    QCOMPARE(minus.pos.offset, qsizetype(34));
    QCOMPARE(minus.pos.column, 9);

    const Program q = parse(u"B:MA(C,5)+X;"_s);
    const Expr &sum = *q.statements[0].value;
    QCOMPARE(sum.pos.column, 3); // where the piece starts
    QCOMPARE(sum.args[1]->pos.column, 11);
}

void TestParser::limits()
{
    // Deep input gives a note, not a crash, and the statements after it still parse.
    const QString deep = QString(5000, u'(') + u'1' + QString(5000, u')') + u";A:1"_s;
    Program p = parse(deep);
    QCOMPARE(render(p), u"A:1"_s);
    QCOMPARE(p.notes.size(), size_t(1));
    QString chain = u"1"_s;
    for (int i = 0; i < 5000; ++i)
        chain += u"+1"_s;
    p = parse(chain + u";A:1"_s);
    QCOMPARE(render(p), u"A:1"_s);
    QCOMPARE(p.notes.size(), size_t(1));
    p = parse(QString(5000, u'-') + u"1;A:1"_s);
    QCOMPARE(render(p), u"A:1"_s);
}

QTEST_APPLESS_MAIN(TestParser)
#include "tst_parser.moc"
