// SPDX-License-Identifier: MIT
#include "CompanionManager.h"

#include <QTest>
#include <cmath>

Q_DECLARE_METATYPE(std::optional<CompanionSensors>)

namespace {

QString describe(const std::optional<CompanionSensors> &s)
{
    if (!s)
        return QStringLiteral("none");
    const auto num = [](const std::optional<double> &v) {
        return v ? QString::number(*v, 'g', 17) : QStringLiteral("-");
    };
    return QStringLiteral("chip=%1 cpu=%2 gpu=%3 power=%4 usage=%5")
        .arg(s->chipName ? QLatin1Char('"') + *s->chipName + QLatin1Char('"') : QStringLiteral("-"),
            num(s->cpuTempC), num(s->gpuTempC), num(s->socPowerW), num(s->gpuUsagePct));
}

CompanionSensors power(double watts)
{
    CompanionSensors s;
    s.socPowerW = watts;
    return s;
}

} // namespace

class MetricsDocumentTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void sensorsEquality_data();
    void sensorsEquality();
};

void MetricsDocumentTest::parse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<std::optional<CompanionSensors>>("expected");
    const std::optional<CompanionSensors> none;

    CompanionSensors full;
    full.chipName = QStringLiteral("Test Chip");
    full.cpuTempC = 51.5;
    full.gpuTempC = 44.0;
    full.socPowerW = 7.25;
    full.gpuUsagePct = 25.0;
    const QByteArray fullBody
        = R"({"temp":{"cpu_temp_avg":51.5,"gpu_temp_avg":44},"soc":{"chip_name":"Test Chip"},)"
          R"("sys_power":7.25,"gpu_usage":[1398,0.25],"extra":[1,{"x":null}]})";

    // What is not a usable document at all.
    QTest::newRow("empty body") << QByteArray() << none;
    QTest::newRow("not JSON") << QByteArray("hello") << none;
    QTest::newRow("top-level array") << QByteArray("[{\"sys_power\":1}]") << none;
    QTest::newRow("empty object") << QByteArray("{}") << none;
    QTest::newRow("error null alone") << QByteArray(R"({"error":null})") << none;
    QTest::newRow("error beside readings") << QByteArray(R"({"error":false,)" + fullBody.mid(1)) << none;
    QTest::newRow("chip name alone") << QByteArray(R"({"soc":{"chip_name":"M"}})") << none;
    QTest::newRow("power only inside soc") << QByteArray(R"({"soc":{"sys_power":3}})") << none;
    QTest::newRow("trailing garbage") << QByteArray(R"({"sys_power":1} x)") << none;
    QTest::newRow("NUL then garbage") << QByteArray("{\"sys_power\":1}\0junk", 20) << none;
    QTest::newRow("raw control character in string")
        << QByteArray("{\"soc\":{\"chip_name\":\"a\x01z\"},\"sys_power\":1}") << none;
    QTest::newRow("lone surrogate escape")
        << QByteArray(R"({"soc":{"chip_name":"\ud800"},"sys_power":1})") << none;
    QTest::newRow("invalid UTF-8") << QByteArray("{\"soc\":{\"chip_name\":\"\xC3\x28\"},\"sys_power\":1}")
                                   << none;

    // Readings, member by member.
    QTest::newRow("full document") << fullBody << std::optional(full);
    QTest::newRow("power alone") << QByteArray(R"({"sys_power":7.5})") << std::optional(power(7.5));
    QTest::newRow("surrounding whitespace")
        << QByteArray(" \n{\"sys_power\":7.5}\r\n") << std::optional(power(7.5));
    {
        CompanionSensors s;
        s.cpuTempC = 45.0;
        QTest::newRow("integral temperature")
            << QByteArray(R"({"temp":{"cpu_temp_avg":45}})") << std::optional(s);
        s.cpuTempC = -5.0;
        QTest::newRow("negative temperature")
            << QByteArray(R"({"temp":{"cpu_temp_avg":-5}})") << std::optional(s);
        s.chipName = QStringLiteral("");
        QTest::newRow("empty chip name is present")
            << QByteArray(R"({"temp":{"cpu_temp_avg":-5},"soc":{"chip_name":""}})") << std::optional(s);
    }
    {
        CompanionSensors s = power(2);
        s.chipName = QStringLiteral("Chip \U0001F600");
        QTest::newRow("surrogate pair escape")
            << QByteArray(R"({"soc":{"chip_name":"Chip \ud83d\ude00"},"sys_power":2})") << std::optional(s);
    }
    QTest::newRow("temperature as string")
        << QByteArray(R"({"temp":{"cpu_temp_avg":"45"},"sys_power":1})") << std::optional(power(1));
    QTest::newRow("temp is an array")
        << QByteArray(R"({"temp":[45,50],"sys_power":1})") << std::optional(power(1));
    QTest::newRow("chip name a number")
        << QByteArray(R"({"soc":{"chip_name":7},"sys_power":1})") << std::optional(power(1));
    QTest::newRow("boolean is no number")
        << QByteArray(R"({"sys_power":true,"temp":{"gpu_temp_avg":false}})") << none;
    QTest::newRow("nested garbage") << QByteArray(
        R"({"temp":{"cpu_temp_avg":{"x":[1,{"y":null}]}},"sys_power":1})")
                                    << std::optional(power(1));
    QTest::newRow("out-of-range number")
        << QByteArray(R"({"sys_power":1e400,"temp":{"cpu_temp_avg":-1e999}})") << none;
    QTest::newRow("huge integer") << QByteArray(R"({"sys_power":123456789012345678901234567890})")
                                  << std::optional(power(1.2345678901234568e29));
    QTest::newRow("duplicate key, last wins")
        << QByteArray(R"({"sys_power":1,"sys_power":2})") << std::optional(power(2));
    QTest::newRow("negative zero") << QByteArray(R"({"sys_power":-0.0})") << std::optional(power(0));
    {
        CompanionSensors s = power(1);
        s.gpuUsagePct = 150.0;
        QTest::newRow("usage above one is kept")
            << QByteArray(R"({"sys_power":1,"gpu_usage":[0,1.5]})") << std::optional(s);
        s.gpuUsagePct = 50.0;
        QTest::newRow("usage reads index one only")
            << QByteArray(R"({"sys_power":1,"gpu_usage":["x",0.5,"y"]})") << std::optional(s);
    }
    QTest::newRow("usage of one element")
        << QByteArray(R"({"sys_power":1,"gpu_usage":[0.25]})") << std::optional(power(1));
    QTest::newRow("usage null then digits")
        << QByteArray(R"({"sys_power":1,"gpu_usage":[null,"25"]})") << std::optional(power(1));
    QTest::newRow("usage an object") << QByteArray(R"({"sys_power":1,"gpu_usage":{"1":0.5}})")
                                     << std::optional(power(1));
}

void MetricsDocumentTest::parse()
{
    QFETCH(QByteArray, body);
    QFETCH(std::optional<CompanionSensors>, expected);
    const auto actual = CompanionManager::parse(body);
    QVERIFY2(actual == expected, qPrintable(describe(actual) + QStringLiteral(" != ") + describe(expected)));
}

void MetricsDocumentTest::sensorsEquality_data()
{
    QTest::addColumn<std::optional<CompanionSensors>>("a");
    QTest::addColumn<std::optional<CompanionSensors>>("b");
    QTest::addColumn<bool>("equal");
    const double nan = std::nan("");

    CompanionSensors withNan = power(nan);
    CompanionSensors named;
    named.chipName = QStringLiteral("A");
    CompanionSensors otherName;
    otherName.chipName = QStringLiteral("B");
    CompanionSensors emptyName;
    emptyName.chipName = QStringLiteral("");

    QTest::newRow("absent, absent") << std::optional<CompanionSensors>() << std::optional<CompanionSensors>()
                                    << true;
    QTest::newRow("absent, all fields empty")
        << std::optional<CompanionSensors>() << std::optional(CompanionSensors()) << false;
    QTest::newRow("+0 and -0") << std::optional(power(0.0)) << std::optional(power(-0.0)) << true;
    QTest::newRow("NaN and NaN") << std::optional(withNan) << std::optional(withNan) << false;
    QTest::newRow("number, absent field")
        << std::optional(power(1)) << std::optional(CompanionSensors()) << false;
    QTest::newRow("same text") << std::optional(named) << std::optional(named) << true;
    QTest::newRow("other text") << std::optional(named) << std::optional(otherName) << false;
    QTest::newRow("empty text, absent text")
        << std::optional(emptyName) << std::optional(CompanionSensors()) << false;
}

void MetricsDocumentTest::sensorsEquality()
{
    QFETCH(std::optional<CompanionSensors>, a);
    QFETCH(std::optional<CompanionSensors>, b);
    QFETCH(bool, equal);
    QCOMPARE(a == b, equal);
    QCOMPARE(b == a, equal);
}

QTEST_GUILESS_MAIN(MetricsDocumentTest)
#include "tst_metricsdocument.moc"
