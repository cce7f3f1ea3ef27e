#include "utils/urlquery.h"

#include <QJsonArray>
#include <QTest>
#include <QTextCodec>

using Orvix::Utils::jsonToUrlQuery;
using Orvix::Utils::urlQueryToJson;

namespace {

QJsonObject object(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class tst_UrlQuery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // What a service started with LANG unset gets: the local 8-bit codec cannot hold Cyrillic.
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        QCOMPARE(QStringLiteral("Ж").toLocal8Bit(), QByteArray("?"));
    }

    void encoding_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QByteArray>("query");

        QTest::newRow("empty object") << QByteArray("{}") << QByteArray();
        QTest::newRow("empty nested object and array") << QByteArray(R"({"a":{},"b":[]})") << QByteArray();
        QTest::newRow("number and space") << QByteArray(R"({"b":"x y","a":1})") << QByteArray("a=1&b=x%20y");
        QTest::newRow("nested object") << QByteArray(R"({"cmd":{"k1":"v"}})") << QByteArray("cmd[k1]=v");
        QTest::newRow("array") << QByteArray(R"({"f":["1","2"]})") << QByteArray("f[]=1&f[]=2");
        QTest::newRow("array in object") << QByteArray(R"({"p":{"q":[true]}})") << QByteArray("p[q][]=true");
        QTest::newRow("objects in array are indexed") << QByteArray(R"({"a":[{"x":1,"z":3},{"y":2}]})")
                                                      << QByteArray("a[0][x]=1&a[0][z]=3&a[1][y]=2");
        QTest::newRow("arrays in array are indexed") << QByteArray(R"({"a":[[1,2],["x"],[]],"b":[5,{"c":6}]})")
                                                     << QByteArray("a[0][]=1&a[0][]=2&a[1][]=x&b[]=5&b[1][c]=6");
        QTest::newRow("brackets inside a key") << QByteArray(R"({"z[0]":"v"})") << QByteArray("z%5B0%5D=v");
        QTest::newRow("reserved characters")
            << QByteArray("{\"s\":\"&=+%/?#~-._\"}") // no raw string: moc trips over its "#"
            << QByteArray("s=%26%3D%2B%25%2F%3F%23~-._");
        QTest::newRow("cyrillic as utf-8") << QByteArray(R"({"t":"Жук 1"})") << QByteArray("t=%D0%96%D1%83%D0%BA%201");
        QTest::newRow("null, booleans, empty string")
            << QByteArray(R"({"a":null,"b":false,"c":true,"d":""})") << QByteArray("a=&b=false&c=true&d=");
        QTest::newRow("small numbers") << QByteArray(R"({"a":0,"b":12,"c":999999,"d":-42})")
                                       << QByteArray("a=0&b=12&c=999999&d=-42");
        QTest::newRow("ids of seven and more digits")
            << QByteArray(R"({"a":1234567,"b":98765432101,"c":9007199254740992})")
            << QByteArray("a=1234567&b=98765432101&c=9007199254740992");
        QTest::newRow("fractions") << QByteArray(R"({"a":0.1,"b":2.5,"c":1234.56789})")
                                   << QByteArray("a=0.1&b=2.5&c=1234.57");
        QTest::newRow("batch command") << QByteArray(R"({"cmd":{"1_user":"user.get?FILTER[UF_PHONE_INNER]=101"}})")
                                       << QByteArray("cmd[1_user]=user.get%3FFILTER%5BUF_PHONE_INNER%5D%3D101");
    }

    void encoding()
    {
        QFETCH(QByteArray, json);
        QFETCH(QByteArray, query);
        QCOMPARE(jsonToUrlQuery(object(json)), query);
    }

    void decoding_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QByteArray>("json"); // "null" for a null document

        QTest::newRow("empty query") << "" << QByteArray("null");
        QTest::newRow("last value wins") << "a=1&a=2" << QByteArray(R"({"a":"2"})");
        QTest::newRow("appended list") << "a[]=1&a[]=2" << QByteArray(R"({"a":["1","2"]})");
        QTest::newRow("list then key") << "a[]=1&a[x]=2" << QByteArray(R"({"a":{"0":"1","x":"2"}})");
        QTest::newRow("key then list") << "a[x]=1&a[]=2" << QByteArray(R"({"a":{"0":"2","x":"1"}})");
        QTest::newRow("string replaced by object") << "a=1&a[b]=2" << QByteArray(R"({"a":{"b":"2"}})");
        QTest::newRow("plus is a space") << "x=a+b" << QByteArray(R"({"x":"a b"})");
        QTest::newRow("%20 is a space") << "x=a%20b" << QByteArray(R"({"x":"a b"})");
        QTest::newRow("encoded plus and percent decoded once") << "x=a%2Bb%2541" << QByteArray(R"({"x":"a+b%41"})");
        QTest::newRow("encoded delimiters") << "x=a%26b%3Dc" << QByteArray(R"({"x":"a&b=c"})");
        QTest::newRow("top-level list") << "[]=1&[]=2" << QByteArray(R"(["1","2"])");
        QTest::newRow("bad key skipped") << "a]=1&b=2" << QByteArray(R"({"b":"2"})");
        QTest::newRow("bad nested key leaves an empty object") << "a[b[c]]=1" << QByteArray(R"({"a":{}})");
        QTest::newRow("bad nested key keeps an object") << "a[x]=1&a[b[c]]=1" << QByteArray(R"({"a":{"x":"1"}})");
        QTest::newRow("bad nested key replaces a string") << "a=1&a[b[c]]=1" << QByteArray(R"({"a":{}})");
        QTest::newRow("deep nesting") << "f[ID][]=5&f[N][x]=y" << QByteArray(R"({"f":{"ID":["5"],"N":{"x":"y"}}})");
        QTest::newRow("encoded brackets in key nest") << "cmd%5Bk%5D=v" << QByteArray(R"({"cmd":{"k":"v"}})");
        QTest::newRow("utf-8 under a latin-1 locale") << "t=%D0%96%D1%83%D0%BA" << QByteArray(R"({"t":"Жук"})");
        QTest::newRow("raw cyrillic") << QStringLiteral("t=Жук") << QByteArray(R"({"t":"Жук"})");
        QTest::newRow("32 levels kept") << "a" + QString("[x]").repeated(31) + "=1&b=2"
                                        << QByteArray(R"({"a":)") + QByteArray(R"({"x":)").repeated(31) + R"("1")"
                                               + QByteArray("}").repeated(31) + R"(,"b":"2"})";
        QTest::newRow("a key nested deeper dropped") << "a" + QString("[x]").repeated(32) + "=1&b=2"
                                                     << QByteArray(R"({"b":"2"})");
        QTest::newRow("pair without value") << "a&b=1" << QByteArray(R"({"a":"","b":"1"})");
    }

    void decoding()
    {
        QFETCH(QString, query);
        QFETCH(QByteArray, json);
        const QJsonDocument decoded = urlQueryToJson(query);
        if (json == "null")
            QVERIFY(decoded.isNull());
        else
            QCOMPARE(decoded, QJsonDocument::fromJson(json));
    }

    void roundTripOfNestedParameters()
    {
        const QJsonObject params = object(R"({"fields":{"TITLE":"Звонок & co","PHONE":[{"VALUE":"+7 900"}]},
                                              "select":["ID","NAME"],"halt":"0"})");
        // An indexed list (objects inside a list are sent as "PHONE[0][VALUE]") reads back as an object
        // keyed by index, as the reader treats every numbered key.
        QCOMPARE(urlQueryToJson(QString::fromLatin1(jsonToUrlQuery(params))).object(),
                 object(R"({"fields":{"TITLE":"Звонок & co","PHONE":{"0":{"VALUE":"+7 900"}}},
                           "select":["ID","NAME"],"halt":"0"})"));
    }
};

QTEST_GUILESS_MAIN(tst_UrlQuery)
#include "tst_urlquery.moc"
