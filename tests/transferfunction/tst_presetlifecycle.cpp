#include <application/configuration.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QCoreApplication>
#include <QJsonArray>

#include <atomic>
#include <cmath>
#include <stdexcept>
#include <thread>

using korvel::application::preset;
using korvel::transferfunction::Model;
using namespace kesu::test;
using Window = std::pair<float, float>;

namespace {

const std::string last_preset = "user/rendering/dvr/last/preset";

// A complete preset object with these members, so that loading it warns of nothing missing.
QJsonObject preset_with(const QJsonObject &members)
{
    return with_members(QJsonDocument(members).toJson());
}

QJsonObject generated(const char *clut, const char *opacity = "")
{
    return preset_with({{"clut"_l, QLatin1String(clut)},
                        {"opacity"_l, QLatin1String(opacity)},
                        {"window"_l, QJsonArray{100, 1000}}});
}

// first, then 1, 2 ... size - 1.
QJsonArray channel(int size, const QJsonValue &first)
{
    QJsonArray values{first};
    for (int i = 1; i < size; ++i)
        values.append(i);
    return values;
}

QJsonObject table(const QJsonValue &red)
{
    return {{"red"_l, red}, {"green"_l, channel(256, "text"_l)}, {"blue"_l, channel(256, 0)}};
}

QJsonObject stored(const char *name, double ambient, bool read_only)
{
    return preset_with({{"description"_l, QLatin1String(name)},
                        {"ambient"_l, ambient},
                        {"read_only"_l, read_only}});
}

QJsonObject document(const QJsonObject &presets, const QJsonObject &tables)
{
    return nest({"rendering"_l},
                QJsonObject{{"dvr"_l, nest({"preset"_l}, presets)},
                            {"clut"_l, nest({"preset"_l}, tables)}});
}

// The recorded name, quoted, or none without a record.
QString recorded()
{
    const auto record = preset(last_preset);
    return record ? QStringLiteral("'%1'").arg(record.get().toObject()["key"_l].toString())
                  : QStringLiteral("none");
}

// Of 256 generated points: x of the first and the last, y of points 1, 128 and 255, then r, g, b
// (times 255) of the first and the last. Of other points: the x of each.
QVector<double> summary(const std::vector<Model::Point> &points)
{
    QVector<double> xs;
    for (const auto &point : points)
        xs.append(point.x);
    if (points.size() != 256)
        return xs;
    const Model::Point &a = points.front(), &z = points.back();
    return {a.x,       z.x,       points[1].y, points[128].y, z.y,      a.r * 255,
            a.g * 255, a.b * 255, z.r * 255,   z.g * 255,     z.b * 255};
}

// Tells whether any model received an event in the application's thread.
struct ModelEvents : QObject
{
    bool eventFilter(QObject *watched, QEvent *) override
    {
        seen = seen || qobject_cast<Model *>(watched);
        return false;
    }
    bool seen = false;
};

} // namespace

class TestPresetsAndTables : public QObject
{
    Q_OBJECT

    std::unique_ptr<TemporaryStore> store;
    std::unique_ptr<korvel::application::impl::Manager> manager;

private Q_SLOTS:
    // "Standard" and "Locked" are read-only, "Bad" has a coefficient out of range, the user has
    // a copy of Bone. The user's table "Shadowed" can be used, "Hidden" not, the shipped ones of
    // these names can, and of the others only "Mine".
    void init()
    {
        manager.reset();
        store = std::make_unique<TemporaryStore>();
        store->write_global(document({{"Standard"_l, stored("Standard", 0.2, true)},
                                      {"Bone"_l, stored("Bone", 1.0, false)},
                                      {"Locked"_l, stored("Locked", 2.0, true)},
                                      {"Bad"_l, stored("Bad", 5.0, false)}},
                                     {{"Mine"_l, table(channel(256, 300))},
                                      {"Short"_l, table(channel(255, 300))},
                                      {"Shadowed"_l, table(channel(256, 10))},
                                      {"Hidden"_l, table(channel(256, 10))}}));
        store->write_user(document(
            {{"Bone"_l, stored("Bone", 3.0, false)}},
            {{"Shadowed"_l, table(channel(256, 200))}, {"Hidden"_l, table(channel(255, 200))}}));
        manager = store->start();
    }

    void points_follow_the_window_data()
    {
        QTest::addColumn<QJsonObject>("preset");
        QTest::addColumn<QVector<double>>("before");
        QTest::addColumn<Window>("window");
        QTest::addColumn<QVector<double>>("expected");
        QTest::addColumn<QString>("warning");
        const QVector<double> kept{0, 10, 20};
        const auto row = [&](const char *name, const QJsonObject &preset, Window window,
                             const QVector<double> &expected, const char *warning = "",
                             const QVector<double> &before = {0, 10, 20}) {
            QTest::newRow(name) << preset << before << window << expected
                                << QString::fromLatin1(warning);
        };
        const double step = 0.003921568859368563, ramp = 0.501960813999176;
        const char *size = "unsuported table size", *missing = "clut preset not found";
        const char *grey = "No CLUT";
        const QJsonObject custom = preset_with({{"points"_l, QJsonArray{QJsonObject{}}}});
        const QVector<double> wide{0, 100, 200};
        row("another case is linear, from -160 to 240", generated(grey, "smooth table"), {400, 40},
            {-160, 240, step, ramp, 1});
        row("smooth is 180 up at width 0", generated(grey, "Smooth Table"), {0, 75},
            {255, 255, 0.05, 0.05, 0.05});
        row("logarithmic", generated(grey, "Logarithmic Table"), {200, 0},
            {-100, 100, 0.015063746435875932, 0.7417539170007905, 1});
        row("logarithmic inverse", generated(grey, "Logarithmic Inverse Table"), {200, 0},
            {-100, 100, 0.0015355153835858726, 0.2610330090242925, 1});
        row("endoscopy runs from pink to a darker red, downwards at a negative width",
            generated("Endoscopy"), {-400, 40},
            {240, -160, step, ramp, 1, 240, 187, 195, 245.1, 120.7, 128.7});
        row("a stored table is used", generated("Mine"), {255, 127.5},
            {0, 255, step, ramp, 1, 300, 0});
        row("the user's table shadows the shipped one of its name", generated("Shadowed"),
            {255, 127.5}, {0, 255, step, ramp, 1, 200});
        row("a broken user table is not passed over for the shipped one", generated("Hidden"),
            {100, 50}, kept, size);
        row("a channel of 255 entries is refused", generated("Short"), {100, 50}, kept, size);
        row("an unknown name is missing", generated("Other"), {100, 50}, kept, missing);
        row("an empty name is missing", generated(""), {100, 50}, kept, missing);
        row("built-in names are matched with case", generated("no clut"), {100, 50}, kept, missing);
        row("a wider window spreads them", custom, {400, 100}, {-100, 100, 300}, "", wide);
        row("a move right moves all right", custom, {30, 25}, {10, 25, 40}, "", {0, 15, 30});
        row("a close pair is translated exactly", custom, {5, 102.5}, {100, 105}, "", {0, 5});
        row("a pair squeezed is set apart about its middle", custom, {100, 500},
            {450, 472.5, 482.5, 550}, "", {-50, 0, 10, 150});
        row("a run squeezed whole is set 10 apart", custom, {10, 100}, {90, 100, 110}, "", wide);
        row("runs that come close merge", custom, {20, 10}, {-5, 5, 15, 25}, "", {0, 20, 60, 80});
        row("a close pair goes with the run that reaches it", custom, {10, 100},
            {89.875, 90.125, 100.125, 110.125}, "", {0, 5, 100, 200});
        row("points without extent stack on the level", custom, {300, 0}, {-5, 5}, "", {100, 100});
        row("a negative width stacks them too", custom, {-100, 50}, {40, 50, 60}, "", kept);
        row("no points keep the window silently", custom, {100, 50}, {}, "", {});
    }
    // A table that cannot be used warns on loading and on the window change, and leaves the
    // points as they were; the window is set twice, and only the first change is announced.
    void points_follow_the_window()
    {
        QFETCH(QJsonObject, preset);
        QFETCH(QVector<double>, before);
        QFETCH(Window, window);
        QFETCH(QVector<double>, expected);
        QFETCH(QString, warning);
        Model model;
        WarningRecorder warnings;
        model.load(preset);
        std::vector<Model::Point> points;
        for (const double x : before)
            points.push_back({x});
        model.set_points(std::move(points));
        SignalRecorder recorder;
        recorder.watch(&model, &Model::window_changed, "window"_l);
        recorder.watch(&model, &Model::internal_changed, "internal"_l);
        model.set_window(window.first, window.second);
        model.set_window(window.first, window.second);
        QCOMPARE(recorder.take().join(u' '), expected.isEmpty() ? QString() : "window internal"_l);
        QCOMPARE(warnings.warnings(),
                 warning.isEmpty() ? QStringList() : QStringList({warning, warning}));
        QCOMPARE(model.window_width_level(), window);
        const QVector<double> actual = summary(model.get_points());
        QVERIFY(actual.size() >= expected.size() && actual.isEmpty() == expected.isEmpty());
        for (int i = 0; i < expected.size(); ++i)
            QVERIFY2(std::fabs(actual[i] - expected[i]) < 1e-9,
                     qPrintable(QString::number(actual[i], 'g', 17)));
    }

    void a_table_changed_in_the_store_is_read_again()
    {
        Model model;
        model.load(generated("Mine"));
        model.set_window(300, 0);
        preset("user/rendering/clut/preset/Mine").set(table(channel(256, 77)));
        model.set_window(301, 0);
        QCOMPARE(model.get_points().front().r * 255, 77.0);
    }

    // Window changes overwrite the table in place, yet a reader in another thread must only ever
    // see whole tables of windows (100, 1000 k); points of the caller's own need a new table.
    // Built-in tables and points of the model's own need no store.
    void window_changes_reuse_the_table_and_readers_see_it_whole()
    {
        manager.reset();
        Model model;
        // In this thread only: the reader's copies are not counted.
        allocations::count_size(256 * sizeof(Model::Point));
        model.load(generated("No CLUT", "Logarithmic Table"));
        std::atomic<bool> done{false};
        std::atomic<int> torn{0};
        std::thread reader([&] {
            for (std::vector<Model::Point> p; !done; p = model.get_points())
                torn += !p.empty()
                    && (p.size() != 256 || std::fmod(p[0].x + 50.0, 1000.0) != 0.0
                        || std::fabs(p[255].x - p[0].x - 100.0) > 1e-6);
        });
        for (int k = 2; k <= 2001; ++k)
            model.set_window(100.0f, 1000.0f * k);
        done = true;
        reader.join();
        const int first = allocations::counted();
        model.set_points({{0.0}, {1.0}});
        model.set_window(40.0f, 0.0f);
        const int second = allocations::counted();
        allocations::count_size(0);
        model.load(preset_with({{"clut"_l, "Other"_l}, {"points"_l, QJsonArray{QJsonObject{}}}}));
        model.set_window(50.0f, 0.0f);
        QCOMPARE(std::pair(first, second), std::pair(1, 1));
        QCOMPARE(torn.load(), 0);
    }

    void moves_between_presets_data()
    {
        columns({"steps", "expected"});
        row("create(true) holds the last preset, the user's copy before the shipped one",
            {"record:Bone last", "'Bone' 3 held, 'Bone'"});
        row("reset of an edited model restores the stored preset",
            {"standard load:Bone ambient reset", "'Bone' 3 held, 'Bone'"});
        row("load by name holds the shipped preset",
            {"standard load:Locked", "'Locked' 2 held, 'Locked'"});
        row("a preset given a name is saved, recorded and left edited",
            {"standard name:Mine ambient save", "'Mine' 2.5 edited, 'Mine'"});
        row("a saved preset is loaded by its name",
            {"standard name:Mine ambient save load:Locked load:Mine", "'Mine' 2.5 held, 'Mine'"});
        row("an unknown name loads Standard but records the name asked for",
            {"standard load:Nowhere", "'Standard' 0.2 held, 'Nowhere'"});
        row("create(false) records Standard over another record",
            {"record:Bone standard", "'Standard' 0.2 held, 'Standard'"});
        row("create(true) without a record loads and records Standard",
            {"last", "'Standard' 0.2 held, 'Standard'"});
        row("create(true) with a record lacking key loads the empty name",
            {"unkeyed last", "'Standard' 0.2 held, ''"});
        row("remove keeps a read-only preset",
            {"standard load:Locked remove", "refused 'Locked' 2 held, 'Locked'"});
        row("remove of a shadowing user copy holds Standard, not the shipped one",
            {"standard load:Bone remove", "removed 'Standard' 0.2 held, none"});
        row("remove keeps a record naming another preset",
            {"standard load:Bone record:Other remove", "removed 'Standard' 0.2 held, 'Other'"});
        row("remove keeps a record differing only in case",
            {"standard load:Bone record:bone remove", "removed 'Standard' 0.2 held, 'bone'"});
    }
    // Steps, in order: "last" and "standard" create the model with create(true) and create(false);
    // "record:N" records N, "unkeyed" a record without "key"; "load:N", "name:N", "ambient",
    // "reset", "save" and "remove" act on the model.
    void moves_between_presets()
    {
        QFETCH(QString, steps);
        std::unique_ptr<Model> model;
        QString removed;
        for (const QString &step : steps.split(u' ')) {
            const QString name = step.section(u':', 1);
            if (step == "last"_l || step == "standard"_l)
                model.reset(Model::create(step == "last"_l));
            else if (step.startsWith("record:"_l))
                preset(last_preset).set(QJsonObject{{"key"_l, name}});
            else if (step == "unkeyed"_l)
                preset(last_preset).set(QJsonObject{{"name"_l, "Bone"_l}});
            else if (step.startsWith("load:"_l))
                model->load(name.toStdString());
            else if (step.startsWith("name:"_l))
                model->set_description(name.toStdString());
            else if (step == "ambient"_l)
                model->set_ambient(2.5);
            else if (step == "reset"_l)
                model->reset();
            else if (step == "save"_l)
                QVERIFY(model->save());
            else if (step == "remove"_l)
                removed = model->remove() ? "removed "_l : "refused "_l;
            else
                QFAIL(qPrintable("no such step: "_l + step));
        }
        const QString state = QStringLiteral("'%1' %2 %3, %4")
                                  .arg(QString::fromStdString(model->get_description()))
                                  .arg(model->get_ambient())
                                  .arg(model->is_modified() ? "edited"_l : "held"_l, recorded());
        QTEST(QString(removed + state), "expected");
    }

    void view_sees_signals_in_order()
    {
        std::unique_ptr<Model> model(Model::create(false));
        SignalRecorder recorder;
        QStringList loaded;
        const auto watch = [&](auto... signal) {
            ((loaded << QString::fromLatin1(QMetaMethod::fromSignal(signal).name()),
              recorder.watch(model.get(), signal, loaded.last())),
             ...);
        };
        watch(&Model::shade_changed, &Model::ambient_changed, &Model::diffuse_changed,
              &Model::specular_changed, &Model::specular_power_changed, &Model::window_changed,
              &Model::background_color_changed, &Model::internal_changed, &Model::reload,
              &Model::filter_changed);
        const QStringList cleared = loaded.mid(0, 8);
        recorder.watch_store(manager.get());

        model->load(std::string("Bone"));
        QCOMPARE(recorder.take(),
                 loaded + QStringList{"modified user/rendering/dvr/last/preset"_l});
        model->reset();
        QCOMPARE(recorder.take(), QStringList());
        QVERIFY(model->remove());
        const QStringList drops{"dropped user/rendering/dvr/last/preset"_l,
                                "dropped user/rendering/dvr/preset/Bone"_l};
        QCOMPARE(recorder.take(), drops + cleared + loaded);
    }

    void range_violation_passes_out_without_a_record()
    {
        preset(last_preset).set(QJsonObject{{"key"_l, "Bad"_l}});
        QCoreApplication::processEvents();
        QVERIFY_EXCEPTION_THROWN(Model::create(true), std::out_of_range);
        ModelEvents events;
        qApp->installEventFilter(&events);
        QCoreApplication::processEvents();
        qApp->removeEventFilter(&events);
        // The half-loaded model was disposed of: its pending change notification never arrives.
        QVERIFY(!events.seen);
        QCOMPARE(recorded(), "'Bad'"_l);

        std::unique_ptr<Model> model(Model::create(false));
        QVERIFY_EXCEPTION_THROWN(model->load(std::string("Bad")), std::out_of_range);
        QCOMPARE(recorded(), "'Standard'"_l);
        QVERIFY(model->is_modified());
    }
};

KESU_TEST_CLASS(TestPresetsAndTables)

#include "tst_presetlifecycle.moc"
