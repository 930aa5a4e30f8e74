#include <application/configuration.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QJsonArray>
#include <QSignalSpy>

#include <algorithm>

#include <stdexcept>

using kesu::test::SignalRecorder;
using kesu::test::TemporaryStore;
using kesu::test::operator""_l;
using kesu::test::WarningRecorder;
using korvel::application::preset;
using korvel::transferfunction::BlendMode;
using korvel::transferfunction::Model;

namespace {

// Every member of a preset object, with a built-in colour table so that no table is looked up.
QJsonObject complete_preset()
{
    return {
        {"background"_l, QJsonObject{{"color"_l, QJsonArray{10, 20, 30}}}},
        {"blend_mode"_l, 2},
        {"group"_l, "CT"_l},
        {"shade"_l, false},
        {"ambient"_l, 0.5},
        {"diffuse"_l, 0.6},
        {"specular"_l, 0.7},
        {"specular_power"_l, 20},
        {"description"_l, "Bone"_l},
        {"window"_l, QJsonArray{400, 40}},
        {"read_only"_l, false},
        {"opacity"_l, "Logarithmic Table"_l},
        {"clut"_l, "No CLUT"_l},
        {"filters"_l, QJsonObject{{"convolution"_l, QJsonArray{"sharpen"_l}}}},
    };
}

QJsonObject point_object(double x, double y)
{
    return {{"x"_l, x},   {"y"_l, y},          {"r"_l, 1},           {"g"_l, 0.9},
            {"b"_l, 0.7}, {"midpoint"_l, 0.5}, {"sharpness"_l, 0.25}};
}

QJsonObject with(QJsonObject object, const QString &member, const QJsonValue &value)
{
    object.insert(member, value);
    return object;
}

QVector<double> members(const Model::Point &p)
{
    return {p.x, p.y, p.r, p.g, p.b, p.midpoint, p.sharpness};
}

QVariant field(const Model &model, const QString &member)
{
    if (member == "ambient"_l)
        return model.get_ambient();
    if (member == "shade"_l)
        return model.is_shade();
    if (member == "blend_mode"_l)
        return int(model.get_blend_mode());
    const auto [width, level] = model.window_width_level();
    return QVariantList{double(width), double(level)};
}

QJsonObject user_preset(const std::string &name)
{
    return preset("user/rendering/dvr/preset/" + name).get().toObject();
}

} // namespace

class TestPresetFormat : public QObject
{
    Q_OBJECT

    std::unique_ptr<TemporaryStore> store;
    std::unique_ptr<korvel::application::impl::Manager> manager;

private Q_SLOTS:
    void init()
    {
        store = std::make_unique<TemporaryStore>();
        manager = store->start();
    }
    void cleanup()
    {
        manager.reset();
        store.reset();
    }

    void wrong_types_read_as_neutral_values_data()
    {
        QTest::addColumn<QString>("member");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("an ambient string reads 0 and is accepted")
            << "ambient" << QJsonValue("high"_l) << QVariant(0.0);
        QTest::newRow("a numeric shade reads false") << "shade" << QJsonValue(1) << QVariant(false);
        QTest::newRow("blend mode 65537 keeps its low 16 bits")
            << "blend_mode" << QJsonValue(65537) << QVariant(1);
        QTest::newRow("blend mode -1 wraps to 65535")
            << "blend_mode" << QJsonValue(-1) << QVariant(65535);
        QTest::newRow("blend mode 1.5 reads 0") << "blend_mode" << QJsonValue(1.5) << QVariant(0);
        QTest::newRow("a blend mode string reads 0")
            << "blend_mode" << QJsonValue("3"_l) << QVariant(0);
        QTest::newRow("a window with one element has level 0")
            << "window" << QJsonValue(QJsonArray{300}) << QVariant(QVariantList{300.0, 0.0});
    }
    void wrong_types_read_as_neutral_values()
    {
        QFETCH(QString, member);
        QFETCH(QJsonValue, value);
        QFETCH(QVariant, expected);
        WarningRecorder warnings;
        Model model;
        model.load(with(complete_preset(), member, value));
        QCOMPARE(field(model, member), expected);
        QCOMPARE(warnings.warnings(), QStringList());
    }

    void missing_members_are_reported_data()
    {
        QTest::addColumn<QJsonObject>("object");
        QTest::addColumn<QStringList>("warnings");
        const QString incomplete = QStringLiteral("incomplete file");
        QStringList all_missing;
        for (int i = 0; i < 14; ++i)
            all_missing << incomplete;
        all_missing << QStringLiteral("clut preset not found");
        QTest::newRow("none of the members: fourteen, then the empty table name")
            << QJsonObject{{"unknown"_l, 1}} << all_missing;
        QTest::newRow("background without color")
            << with(complete_preset(), "background"_l, QJsonObject{}) << QStringList{incomplete};
        QTest::newRow("filters without convolution")
            << with(complete_preset(), "filters"_l, QJsonObject{}) << QStringList{incomplete};
        QTest::newRow("an empty convolution array is not reported")
            << with(complete_preset(), "filters"_l, QJsonObject{{"convolution"_l, QJsonArray{}}})
            << QStringList();
    }
    void missing_members_are_reported()
    {
        QFETCH(QJsonObject, object);
        QFETCH(QStringList, warnings);
        Model model;
        model.set_ambient(3.0);
        QSignalSpy reloads(&model, &Model::reload);
        QSignalSpy filters(&model, &Model::filter_changed);
        WarningRecorder recorder;
        model.load(object);
        QCOMPARE(recorder.warnings(), warnings);
        QCOMPARE(reloads.count(), 1);
        QCOMPARE(filters.count(), 1);
        QVERIFY(!model.is_modified());
    }

    void empty_object_changes_nothing()
    {
        Model model;
        model.load(complete_preset());
        model.set_ambient(3.0);
        SignalRecorder recorder;
        recorder.watch(&model, &Model::internal_changed, QStringLiteral("internal_changed"));
        recorder.watch(&model, &Model::reload, QStringLiteral("reload"));
        WarningRecorder warnings;
        model.load(QJsonObject{});
        QCOMPARE(model.get_ambient(), 3.0);
        QCOMPARE(model.get_points().size(), std::size_t(256));
        QVERIFY(model.is_modified());
        QCOMPARE(recorder.take(), QStringList());
        QCOMPARE(warnings.warnings(), QStringList());
    }

    void points_are_held_by_ascending_x()
    {
        Model model;
        model.load(with(complete_preset(), "points"_l,
                        QJsonArray{point_object(300, 0.3), point_object(100, 0.1),
                                   point_object(100, 0.2), point_object(200, 0.4)}));
        QVERIFY(model.is_custom_opacity());
        QVector<double> xs, ys;
        for (const auto &point : model.get_points()) {
            xs << point.x;
            ys << point.y;
        }
        QCOMPARE(xs, (QVector<double>{100, 100, 200, 300}));
        // Equal positions end in the reverse of their order in the array.
        QCOMPARE(ys, (QVector<double>{0.2, 0.1, 0.4, 0.3}));
        // The window is taken as read, not from the points.
        QCOMPARE(model.window_width_level(), std::make_pair(400.0f, 40.0f));

        // Saved and read back, points that share an x keep their order.
        model.set_description("Edge");
        QVERIFY(model.save());
        Model reread;
        reread.load(user_preset("Edge"));
        QVector<double> ys_again;
        for (const auto &point : reread.get_points())
            ys_again << point.y;
        QCOMPARE(ys_again, ys);
    }

    void huge_point_arrays_load_sorted()
    {
        QJsonArray descending;
        for (int i = 200000; i > 0; --i)
            descending.append(point_object(i, 0.5));
        Model model;
        model.load(with(complete_preset(), "points"_l, descending));
        const auto points = model.get_points();
        QCOMPARE(points.size(), std::size_t(200000));
        QVERIFY(std::is_sorted(points.begin(), points.end(),
                               [](const auto &a, const auto &b) { return a.x < b.x; }));
    }

    void point_members_read_as_numbers_data()
    {
        QTest::addColumn<QJsonValue>("element");
        QTest::addColumn<QVector<double>>("expected");
        QTest::newRow("a point without midpoint gets 0, not 0.5")
            << QJsonValue(QJsonObject{{"x"_l, 5}, {"y"_l, 1}})
            << QVector<double>{5, 1, 0, 0, 0, 0, 0};
        QTest::newRow("a point that is not an object is all zeros")
            << QJsonValue(7) << QVector<double>(7, 0.0);
    }
    void point_members_read_as_numbers()
    {
        QFETCH(QJsonValue, element);
        QFETCH(QVector<double>, expected);
        Model model;
        model.load(with(complete_preset(), "points"_l, QJsonArray{element}));
        QCOMPARE(model.get_points().size(), std::size_t(1));
        QCOMPARE(members(model.get_points().front()), expected);
    }

    void coefficients_are_checked_data()
    {
        QTest::addColumn<QString>("member");
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("refused");
        QTest::newRow("ambient 4 is accepted") << "ambient" << 4.0 << false;
        QTest::newRow("specular power 256 is accepted") << "specular_power" << 256.0 << false;
        QTest::newRow("ambient 4.0001 is refused") << "ambient" << 4.0001 << true;
        QTest::newRow("specular power 256.5 is refused") << "specular_power" << 256.5 << true;
    }
    void coefficients_are_checked()
    {
        QFETCH(QString, member);
        QFETCH(double, value);
        QFETCH(bool, refused);
        Model model;
        QSignalSpy reloads(&model, &Model::reload);
        try {
            model.load(with(complete_preset(), member, value));
            QVERIFY(!refused);
            QCOMPARE(reloads.count(), 1);
        } catch (const std::out_of_range &error) {
            QVERIFY(refused);
            QCOMPARE(QString::fromLatin1(error.what()), QStringLiteral("range violation"));
            QCOMPARE(reloads.count(), 0);
            QVERIFY(model.is_modified());
        }
    }

    void range_violation_keeps_what_was_read_before()
    {
        Model model;
        QJsonObject object = with(complete_preset(), "specular"_l, 5);
        object.insert("points"_l, QJsonArray{point_object(0, 0), point_object(100, 1)});
        QVERIFY_EXCEPTION_THROWN(model.load(object), std::out_of_range);
        // Read before the specular coefficient: points, background, blend mode, group, shade and
        // the first two coefficients.
        QCOMPARE(model.get_points().size(), std::size_t(2));
        QVERIFY(model.is_custom_opacity());
        QCOMPARE(model.get_background_color(), (std::array<double, 3>{10, 20, 30}));
        QCOMPARE(int(model.get_blend_mode()), 2);
        QCOMPARE(model.get_category(), std::string("CT"));
        QVERIFY(!model.is_shade());
        QCOMPARE(model.get_diffuse(), 0.6);
        // From the failing member on, the cleared values.
        QCOMPARE(model.get_specular(), 0.9);
        QCOMPARE(model.get_specular_power(), 15.0);
        QCOMPARE(model.get_description(), std::string());
        QCOMPARE(model.window_width_level(), std::make_pair(0.0f, 0.0f));
        QCOMPARE(model.get_clut(), std::string());

        // Without points of its own nothing is generated either, and the lock was released.
        object.remove("points"_l);
        QVERIFY_EXCEPTION_THROWN(model.load(object), std::out_of_range);
        QVERIFY(model.get_points().empty());
        QVERIFY(!model.is_custom_opacity());
    }

    void first_convolution_name_is_used()
    {
        Model model;
        model.load(with(complete_preset(), "filters"_l,
                        QJsonObject{{"convolution"_l, QJsonArray{"soft"_l, "sharp"_l}}}));
        QCOMPARE(model.get_convolution_filter(), std::string("soft"));
        QVERIFY(model.save());
        QCOMPARE(user_preset("Bone")["filters"_l].toObject()["convolution"_l].toArray(),
                 QJsonArray{"soft"_l});
    }

    void save_writes_every_member()
    {
        Model model;
        model.clear();
        model.set_description("Mine");
        SignalRecorder recorder;
        recorder.watch_store(manager.get());
        recorder.watch(&model, &Model::internal_changed, QStringLiteral("internal_changed"));
        QVERIFY(model.save());
        const QJsonObject expected{
            {"background"_l, QJsonObject{{"color"_l, QJsonArray{0, 249, 255}}}},
            {"group"_l, ""_l},
            {"blend_mode"_l, 0},
            {"read_only"_l, false},
            {"shade"_l, true},
            {"opacity"_l, ""_l},
            {"clut"_l, ""_l},
            {"ambient"_l, 0.15},
            {"diffuse"_l, 0.3},
            {"specular"_l, 0.9},
            {"specular_power"_l, 15},
            {"description"_l, "Mine"_l},
            {"filters"_l, QJsonObject{{"convolution"_l, QJsonArray{""_l}}}},
            {"window"_l, QJsonArray{0, 0}},
        };
        QCOMPARE(user_preset("Mine"), expected);
        QCOMPARE(preset("user/rendering/dvr/last/preset").get().toObject(),
                 (QJsonObject{{"key"_l, "Mine"_l}}));
        QCOMPARE(recorder.take(),
                 (QStringList{"modified user/rendering/dvr/preset/Mine"_l,
                              "modified user/rendering/dvr/last/preset"_l}));
        QVERIFY(model.is_modified());
    }

    void points_member_follows_custom_opacity_data()
    {
        QTest::addColumn<QJsonValue>("points");
        QTest::addColumn<bool>("emptied");
        QTest::addColumn<QJsonValue>("written");
        const QJsonArray own{point_object(-5, 0), point_object(300, 0.8)};
        QTest::newRow("own points are written in the model's order")
            << QJsonValue(own) << false << QJsonValue(own);
        QTest::newRow("own points emptied later write an empty array")
            << QJsonValue(own) << true << QJsonValue(QJsonArray{});
        QTest::newRow("generated points are not written")
            << QJsonValue(QJsonValue::Undefined) << false << QJsonValue(QJsonValue::Undefined);
    }
    void points_member_follows_custom_opacity()
    {
        QFETCH(QJsonValue, points);
        QFETCH(bool, emptied);
        QFETCH(QJsonValue, written);
        Model model;
        QJsonObject object = with(complete_preset(), "window"_l, QJsonArray{0.1, -2.5});
        if (!points.isUndefined())
            object.insert("points"_l, points);
        model.load(object);
        if (emptied)
            model.set_points({});
        else
            model.set_ambient(1.0);
        QVERIFY(model.save());
        const QJsonObject saved = user_preset("Bone");
        QCOMPARE(saved.value("points"_l), written);
        if (!emptied) {
            // The float window widened exactly to double.
            QCOMPARE(saved["window"_l].toArray(), (QJsonArray{double(0.1f), -2.5}));
            QCOMPARE(saved["window"_l][0].toDouble(), 0.10000000149011612);
        }
        model.load(saved);
        QCOMPARE(model.is_custom_opacity(), written.isArray() && !written.toArray().isEmpty());
    }

    void name_nested_too_deep_is_not_saved()
    {
        Model model;
        model.load(complete_preset());
        std::string name;
        for (int i = 0; i < 1100; ++i)
            name += "n/";
        model.set_description(std::string(name));
        WarningRecorder warnings;
        QVERIFY(!model.save());
        QCOMPARE(warnings.warnings().size(), 1);
        QVERIFY(!preset("user/rendering/dvr/last/preset"));
    }

    void read_only_model_saves_nothing()
    {
        Model model;
        model.load(with(complete_preset(), "read_only"_l, true));
        SignalRecorder recorder;
        recorder.watch_store(manager.get());
        QVERIFY(!model.save());
        QCOMPARE(recorder.take(), QStringList());
        QVERIFY(!preset("user/rendering"));
    }
};

KESU_TEST_CLASS(TestPresetFormat)
#include "tst_presetformat.moc"
