// SPDX-License-Identifier: MIT
#include "CompanionManager.h"

#include <QTest>

Q_DECLARE_METATYPE(std::optional<CompanionSensors>)

class MetricsDocumentTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
};

void MetricsDocumentTest::parse_data()
{
    using S = CompanionSensors;
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<std::optional<S>>("expected");
    const auto row = [](const char *name, const QByteArray &body, std::optional<S> expected) {
        QTest::newRow(name) << body << expected;
    };
    const S full { QStringLiteral("Test Chip"), 51.5, 44.0, 7.25, 25.0 };
    const QByteArray fullBody
        = R"({"temp":{"cpu_temp_avg":51.5,"gpu_temp_avg":44},"soc":{"chip_name":"Test Chip"},)"
          R"("sys_power":7.25,"gpu_usage":[1398,0.25],"extra":[1,{"x":null}]})";
    const S power { .socPowerW = 1.0 };

    // What is no usable document at all.
    row("empty body", {}, std::nullopt);
    row("not JSON", "hello", std::nullopt);
    row("top-level array", R"([{"sys_power":1}])", std::nullopt);
    row("empty object", "{}", std::nullopt);
    row("error null alone", R"({"error":null})", std::nullopt);
    row("error beside readings", R"({"error":false,)" + fullBody.mid(1), std::nullopt);
    row("chip name alone", R"({"soc":{"chip_name":"M"}})", std::nullopt);
    row("power only inside soc", R"({"soc":{"sys_power":3}})", std::nullopt);
    row("NUL then garbage", QByteArray("{\"sys_power\":1}\0junk", 20), std::nullopt);
    row("boolean is no number", R"({"sys_power":true,"temp":{"gpu_temp_avg":false}})", std::nullopt);

    // Readings, member by member, none clamped or defaulted.
    row("full document", fullBody, full);
    row("power alone", R"({"sys_power":1})", power);
    row("integral temperature", R"({"temp":{"cpu_temp_avg":45}})", S { .cpuTempC = 45.0 });
    row("negative temperature", R"({"temp":{"gpu_temp_avg":-5}})", S { .gpuTempC = -5.0 });
    row("empty chip name is present", R"({"sys_power":1,"soc":{"chip_name":""}})",
        S { .chipName = QString(), .socPowerW = 1.0 });
    row("temperature as string", R"({"temp":{"cpu_temp_avg":"45"},"sys_power":1})", power);
    row("temp is an array", R"({"temp":[45,50],"sys_power":1})", power);
    row("chip name a number", R"({"soc":{"chip_name":7},"sys_power":1})", power);
    row("usage above one is kept", R"({"gpu_usage":[0,1.5]})", S { .gpuUsagePct = 150.0 });
    row("usage reads index one only", R"({"gpu_usage":["x",0.5,"y"]})", S { .gpuUsagePct = 50.0 });
    row("usage of one element", R"({"sys_power":1,"gpu_usage":[0.25]})", power);
    row("usage null then digits", R"({"sys_power":1,"gpu_usage":[null,"25"]})", power);
    row("usage an object", R"({"sys_power":1,"gpu_usage":{"1":0.5}})", power);
}

void MetricsDocumentTest::parse()
{
    QFETCH(QByteArray, body);
    QFETCH(std::optional<CompanionSensors>, expected);
    QVERIFY(CompanionManager::parse(body) == expected);
}

QTEST_GUILESS_MAIN(MetricsDocumentTest)
#include "tst_metricsdocument.moc"
