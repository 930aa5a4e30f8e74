#include <application/configuration.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QSignalSpy>

#include <atomic>
#include <cmath>
#include <stdexcept>
#include <thread>

using korvel::application::preset;
using korvel::transferfunction::Model;
using namespace kesu::test;

namespace {

const std::string last_preset = "user/rendering/dvr/last/preset";

// A complete preset object with these members, so that loading it warns of nothing missing.
QJsonObject preset_with(const QJsonObject &members)
{
    return with_members(QJsonDocument(members).toJson());
}

// "clut|opacity" is a preset of a generated table, anything else one of points of its own.
QJsonObject preset_of(const QString &text)
{
    if (!text.contains(u'|'))
        return preset_with({{"points"_l, QJsonArray{QJsonObject{}}}});
    return preset_with(
        {{"clut"_l, text.section(u'|', 0, 0)}, {"opacity"_l, text.section(u'|', 1)}});
}

// Red from first, then 1, 2 ... size - 1; green and blue the same, from an entry that is no number.
QJsonObject table(int first, int size = 256)
{
    QJsonArray red{first}, ramp{"text"_l};
    for (int i = 1; i < size; ++i)
        red.append(i);
    for (int i = 1; i < 256; ++i)
        ramp.append(i);
    return {{"red"_l, red}, {"green"_l, ramp}, {"blue"_l, ramp}};
}

// Presets of these names and ambients, "Standard" read-only, beside these colour tables.
QJsonObject document(const QJsonObject &ambients, const QJsonObject &tables)
{
    QJsonObject presets;
    for (auto it = ambients.begin(); it != ambients.end(); ++it)
        presets.insert(it.key(),
                       preset_with({{"description"_l, it.key()},
                                    {"ambient"_l, it.value()},
                                    {"read_only"_l, it.key() == "Standard"_l}}));
    return nest({"rendering"_l},
                QJsonObject{{"dvr"_l, nest({"preset"_l}, presets)},
                            {"clut"_l, nest({"preset"_l}, tables)}});
}

// Of 256 generated points: y of points 1, 128 and 255, x of the first and the last, then r, g, b
// (times 255) of the first and the last. Of other points: the x of each.
QString summary(const std::vector<Model::Point> &p)
{
    QVector<double> values;
    for (const auto &point : p)
        values.append(point.x);
    if (p.size() == 256)
        values = {p[1].y,         p[128].y,       p[255].y,      p[0].x,
                  p[255].x,       p[0].r * 255,   p[0].g * 255,  p[0].b * 255,
                  p[255].r * 255, p[255].g * 255, p[255].b * 255};
    QStringList texts;
    for (const double value : values)
        texts.append(QString::number(value, 'g', 9));
    return texts.join(u' ');
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
    // "Standard" is read-only, "Bad" has a coefficient out of range, the user has a copy of Bone
    // and an unusable copy of the table "Hidden".
    void init()
    {
        manager.reset();
        store = std::make_unique<TemporaryStore>();
        store->write_global(document({{"Standard"_l, 0.2}, {"Bone"_l, 1}, {"Bad"_l, 5}},
                                     {{"Mine"_l, table(300)}, {"Hidden"_l, table(10)}}));
        store->write_user(document({{"Bone"_l, 3}}, {{"Hidden"_l, table(200, 255)}}));
        manager = store->start();
    }

    // Before the window, a generated table's model holds points at x 0 10 20. Expected are the
    // warnings, then the leading values of the summary of the points.
    void points_follow_the_window_data()
    {
        columns({"source", "window", "expected"});
        row("smooth is 180 up", {"No CLUT|Smooth Table", "0 75", "0.05 0.05 0.05 255 255"});
        row("logarithmic", {"No CLUT|Logarithmic Table", "200 0", "0.0150637464 0.741753917 1"});
        row("log inverse",
            {"No CLUT|Logarithmic Inverse Table", "200 0", "0.00153551538 0.261033009 1"});
        row("endoscopy, downwards",
            {"Endoscopy|", "-400 40",
             "0.00392156886 0.501960814 1 240 -160 240 187 195 245.1 120.7 128.7"});
        row("a stored table", {"Mine|", "255 127.5", "0.00392156886 0.501960814 1 0 255 300 0 0"});
        row("a broken user table",
            {"Hidden|", "100 50", "unsuported table size | unsuported table size"});
        row("an empty name is missing",
            {"|", "100 50", "clut preset not found | clut preset not found | 0 10 20"});
        row("a wider window spreads them", {"0 100 200", "400 100", "-100 100 300"});
        row("a close pair is translated exactly", {"0 5", "5 102.5", "100 105"});
        row("a squeezed pair is set apart", {"-50 0 10 150", "100 500", "450 472.5 482.5 550"});
        row("runs that come close merge", {"0 20 60 80", "20 10", "-5 5 15 25"});
        row("a close pair joins a run", {"0 5 100 200", "10 100", "89.875 90.125 100.125 110.125"});
        row("points without extent stack", {"100 100", "300 0", "-5 5"});
        row("a negative width stacks them", {"0 10 20", "-100 50", "40 50 60"});
        row("no points keep the window silently", {"", "100 50", ""});
    }
    // An unusable table warns on loading and on the window change and leaves the points; the
    // window is set twice, only the first change is announced.
    void points_follow_the_window()
    {
        QFETCH(QString, source);
        QFETCH(QString, window);
        Model model;
        WarningRecorder warnings;
        model.load(preset_of(source));
        std::vector<Model::Point> points;
        for (const QString &x :
             (source.contains(u'|') ? "0 10 20"_l : source).split(u' ', Qt::SkipEmptyParts))
            points.push_back({x.toDouble()});
        model.set_points(std::move(points));
        QSignalSpy changed(&model, &Model::window_changed);
        const std::pair<float, float> wanted(window.section(u' ', 0, 0).toFloat(),
                                             window.section(u' ', 1).toFloat());
        for (int twice = 0; twice < 2; ++twice)
            model.set_window(wanted.first, wanted.second);
        const QString seen =
            QStringList(warnings.warnings() << summary(model.get_points())).join(" | "_l);
        QFETCH(QString, expected);
        QCOMPARE(QString(seen + u' ').left(expected.size() + 1), expected + u' ');
        QCOMPARE(changed.count(), source.isEmpty() ? 0 : 1);
    }

    // Window changes overwrite the table in place, yet a reader in another thread must only ever
    // see whole tables. Built-in tables and points of the model's own need no store; a stored
    // table changed since the last window is read again.
    void window_changes_reuse_the_table_and_readers_see_it_whole()
    {
        Model model, stored_table;
        stored_table.load(preset_of("Mine|"_l));
        stored_table.set_window(300, 0);
        preset("user/rendering/clut/preset/Mine").set(table(77));
        stored_table.set_window(301, 0);
        QCOMPARE(stored_table.get_points().front().r * 255, 77.0);
        manager.reset();
        // In this thread only: the reader's copies are not counted.
        allocations::count_size(256 * sizeof(Model::Point));
        model.load(preset_of("No CLUT|Logarithmic Table"_l));
        std::atomic<bool> done{false};
        std::atomic<int> torn{0};
        std::thread reader([&] {
            for (std::vector<Model::Point> p; !done; p = model.get_points())
                torn += !p.empty() && std::fabs(p[255].x - p[0].x - 400.0) > 1e-6;
        });
        for (int k = 2; k <= 2001; ++k)
            model.set_window(400.0f, 1000.0f * k);
        done = true;
        reader.join();
        QCOMPARE(std::pair(torn.load(), allocations::counted()), std::pair(0, 1));
        allocations::count_size(0);
        model.load(preset_with({{"clut"_l, "Other"_l}, {"points"_l, QJsonArray{QJsonObject{}}}}));
        model.set_window(50.0f, 0.0f);
    }

    // One model moved between presets; a state reads: the description, the ambient and the
    // recorded name.
    void moves_between_presets()
    {
        std::unique_ptr<Model> model(Model::create(true));
        const auto state = [&] {
            return QStringLiteral("%1 %2 %3")
                .arg(QString::fromStdString(model->get_description()))
                .arg(model->get_ambient())
                .arg(preset(last_preset).get()["key"_l].toString("none"_l));
        };
        QCOMPARE(state(), "Standard 0.2 Standard"_l);
        // The name asked for is recorded, not the one loaded instead.
        model->load(std::string("Nowhere"));
        QCOMPARE(state(), "Standard 0.2 Nowhere"_l);
        QVERIFY(!model->remove());
        model.reset(Model::create(false));
        QCOMPARE(state(), "Standard 0.2 Standard"_l);
        preset(last_preset).set(QJsonObject{{"key"_l, "Bone"_l}});
        model.reset(Model::create(true));
        QCOMPARE(state(), "Bone 3 Bone"_l);
        model->set_ambient(2.5);
        model->reset();
        QCOMPARE(state(), "Bone 3 Bone"_l);
        // A model as loaded is not loaded again, which would record it.
        preset(last_preset).set(QJsonObject{{"key"_l, "Other"_l}});
        model->reset();
        QCOMPARE(state(), "Bone 3 Other"_l);
        // The user's copy goes, the record of another preset stays.
        QVERIFY(model->remove());
        QCOMPARE(state(), "Standard 0.2 Other"_l);
        model->load(std::string("Bone"));
        QCOMPARE(state(), "Bone 1 Bone"_l);
        QVERIFY(model->remove());
        QCOMPARE(state(), "Standard 0.2 none"_l);
        // A range violation passes out of create(true), and the half-loaded model is disposed of:
        // its pending change notification never arrives.
        model.reset();
        preset(last_preset).set(QJsonObject{{"key"_l, "Bad"_l}});
        QVERIFY_EXCEPTION_THROWN(Model::create(true), std::out_of_range);
        ModelEvents events;
        qApp->installEventFilter(&events);
        QCoreApplication::processEvents();
        QVERIFY(!events.seen);
    }
};

KESU_TEST_CLASS(TestPresetsAndTables)

#include "tst_presetlifecycle.moc"
