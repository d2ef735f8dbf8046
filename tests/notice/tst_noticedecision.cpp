#include "noticedecision.h"

#include <QLocale>
#include <QTest>

using namespace morvane;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(std::optional<NoticeLabels>)

namespace {
const QString kCaption = u"欢迎访问 sponsor.example"_s;
const QString kUrl = u"http://www.sponsor.example/"_s;
const SponsorDefaults kDefaults{kCaption, kUrl};

std::optional<NoticeLabels> labels(const QString &version, const QString &ad, const QString &adUrl,
                                   const QString &message = {})
{
    return NoticeLabels{version, ad, adUrl, message, !message.isEmpty()};
}
} // namespace

class TestNoticeDecision : public QObject
{
    Q_OBJECT

private slots:
    void decide_data();
    void decide();
    void numeric_data();
    void numeric();
    void commaLocaleStillReadsPoint();
    void currentCaptionsKept();
};

void TestNoticeDecision::decide_data()
{
    QTest::addColumn<bool>("completed");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<std::optional<NoticeLabels>>("expected");

    QTest::newRow("no response") << false << QByteArray("1.2|x|http://x.example/")
                                 << std::optional<NoticeLabels>();
    QTest::newRow("empty body") << true << QByteArray() << labels(u"1.1"_s, kCaption, kUrl);
    QTest::newRow("running version only") << true << QByteArray("1.1") << labels(u"1.1"_s, {}, {});
    QTest::newRow("version with spaces")
        << true << QByteArray("  1.1 ") << labels(u"  1.1 "_s, {}, {});
    QTest::newRow("newer") << true << QByteArray("1.2")
                           << labels(u"1.2"_s, {}, {}, u"发现新版本1.2"_s);
    QTest::newRow("older counts too")
        << true << QByteArray("1.0") << labels(u"1.0"_s, {}, {}, u"发现新版本1.0"_s);
    QTest::newRow("spaced newer") << true << QByteArray(" 1.2 |ad")
                                  << labels(u" 1.2 "_s, u"ad"_s, {}, u"发现新版本1.2"_s);
    QTest::newRow("written differently")
        << true << QByteArray("1.10") << labels(u"1.10"_s, {}, {}, u"发现新版本1.10"_s);
    QTest::newRow("all three") << true << QByteArray("1.1|look| http://s.example/ ")
                               << labels(u"1.1"_s, u"look"_s, u" http://s.example/ "_s);
    QTest::newRow("not numeric, sponsor fields")
        << true << QByteArray("V1.2|ad|http://s.example/")
        << labels(u"1.1"_s, u"ad"_s, u"http://s.example/"_s);
    QTest::newRow("not numeric, no more fields")
        << true << QByteArray("1.2.3") << labels(u"1.1"_s, kCaption, kUrl);
    QTest::newRow("spaces-only caption")
        << true << QByteArray("1.1|   |") << labels(u"1.1"_s, kCaption, kUrl);
    QTest::newRow("caption keeps its spaces")
        << true << QByteArray("1.1| ad ") << labels(u"1.1"_s, u" ad "_s, {});
    QTest::newRow("numeric, caption, no url")
        << true << QByteArray("1.1|ad") << labels(u"1.1"_s, u"ad"_s, {});
    QTest::newRow("single bar") << true << QByteArray("|") << labels(u"1.1"_s, kCaption, kUrl);
    QTest::newRow("fourth field ignored") << true << QByteArray("1.1|a|http://u.example/|x|y")
                                          << labels(u"1.1"_s, u"a"_s, u"http://u.example/"_s);
    QTest::newRow("final line break stays") << true << QByteArray("1.1|a|http://u.example/\r\n")
                                            << labels(u"1.1"_s, u"a"_s, u"http://u.example/\r\n"_s);
    QTest::newRow("404 page") << true << QByteArray("<html><body>404 Not Found</body></html>")
                              << labels(u"1.1"_s, kCaption, kUrl);
    QTest::newRow("gbk caption") << true << QByteArray("1.1|\xd4\xde\xd6\xfa|http://u.example/")
                                 << labels(u"1.1"_s, u"赞助"_s, u"http://u.example/"_s);
    QTest::newRow("utf8 mark not removed") << true
                                           << QByteArray("\xEF\xBB\xBF"
                                                         "1.1")
                                           << labels(u"1.1"_s, kCaption, kUrl);
    QTest::newRow("tab around version")
        << true << QByteArray("\t1.1") << labels(u"1.1"_s, kCaption, kUrl);
}

void TestNoticeDecision::decide()
{
    QFETCH(bool, completed);
    QFETCH(QByteArray, body);
    QFETCH(std::optional<NoticeLabels>, expected);
    const auto actual = decideNotice({completed, body}, u"1.1"_s, QString(), QString(), kDefaults);
    QCOMPARE(actual.has_value(), expected.has_value());
    if (!expected)
        return;
    QCOMPARE(actual->newVersion, expected->newVersion);
    QCOMPARE(actual->ad, expected->ad);
    QCOMPARE(actual->adUrl, expected->adUrl);
    QCOMPARE(actual->message, expected->message);
    QCOMPARE(actual->messageVisible, expected->messageVisible);
}

void TestNoticeDecision::numeric_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("numeric");
    const std::pair<const char16_t *, bool> rows[] = {
        {u"1.1", true},  {u"1.10", true},   {u" 2 ", true},   {u"-1.5", true}, {u"+3", true},
        {u"1e3", true},  {u"1.2E-2", true}, {u".5", true},    {u"5.", true},   {u"", false},
        {u"   ", false}, {u"1.2.3", false}, {u"V1.2", false}, {u"1,2", false}, {u"1e", false},
        {u".", false},   {u"+", false},     {u"1 2", false},  {u"\t1", false}, {u"１.２", false},
    };
    for (const auto &[field, numeric] : rows)
        QTest::addRow("'%s'", qPrintable(QString::fromUtf16(field)))
            << QString::fromUtf16(field) << numeric;
}

void TestNoticeDecision::numeric()
{
    QFETCH(QString, field);
    QFETCH(bool, numeric);
    QCOMPARE(isNumericVersion(field), numeric);
}

void TestNoticeDecision::commaLocaleStillReadsPoint()
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const auto result = decideNotice({true, "1.2"}, u"1.1"_s, QString(), QString(), kDefaults);
    QLocale::setDefault(saved);
    QVERIFY(result);
    QCOMPARE(result->message, u"发现新版本1.2"_s);
}

void TestNoticeDecision::currentCaptionsKept()
{
    // A missing field leaves whatever the labels held.
    const auto result =
        decideNotice({true, "1.1"}, u"1.1"_s, u"old ad"_s, u"http://old.example/"_s, kDefaults);
    QVERIFY(result);
    QCOMPARE(result->ad, u"old ad"_s);
    QCOMPARE(result->adUrl, u"http://old.example/"_s);
}

QTEST_GUILESS_MAIN(TestNoticeDecision)
#include "tst_noticedecision.moc"
