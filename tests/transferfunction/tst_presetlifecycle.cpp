#include <application/configuration.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>

using kesu::test::nest;
using kesu::test::SignalRecorder;
using kesu::test::TemporaryStore;
using kesu::test::operator""_l;
using korvel::application::preset;
using korvel::transferfunction::Model;

using Event = std::function<void(Model &)>;
Q_DECLARE_METATYPE(Event)

namespace {

const std::string last_preset = "user/rendering/dvr/last/preset";

QJsonObject preset_object(const char *name, double ambient, bool read_only,
                          const char *clut = "No CLUT")
{
    return {
        {"background"_l, QJsonObject{{"color"_l, QJsonArray{10, 20, 30}}}},
        {"blend_mode"_l, 2},
        {"group"_l, "CT"_l},
        {"shade"_l, true},
        {"ambient"_l, ambient},
        {"diffuse"_l, 0.6},
        {"specular"_l, 0.7},
        {"specular_power"_l, 20},
        {"description"_l, QLatin1String(name)},
        {"window"_l, QJsonArray{1000, 300}},
        {"read_only"_l, read_only},
        {"opacity"_l, "Logarithmic Table"_l},
        {"clut"_l, QLatin1String(clut)},
        {"filters"_l, QJsonObject{{"convolution"_l, QJsonArray{"sharpen"_l}}}},
    };
}

QJsonArray grey_channel()
{
    QJsonArray channel;
    for (int i = 0; i < 256; ++i)
        channel.append(i);
    return channel;
}

// The shipped document: "Standard" (read-only), "Bone", "Locked" (read-only), "Bad" (a coefficient
// out of range) and "Stored", whose colour table is looked up in the store.
QJsonObject shipped_document()
{
    const QJsonObject presets{
        {"Standard"_l, preset_object("Standard", 0.2, true)},
        {"Bone"_l, preset_object("Bone", 1.0, false, "Endoscopy")},
        {"Locked"_l, preset_object("Locked", 2.0, true)},
        {"Bad"_l, preset_object("Bad", 5.0, false)},
        {"Stored"_l, preset_object("Stored", 0.4, false, "Grey")},
    };
    const QJsonObject grey{
        {"red"_l, grey_channel()}, {"green"_l, grey_channel()}, {"blue"_l, grey_channel()}};
    return {{"rendering"_l,
             QJsonObject{{"dvr"_l, QJsonObject{{"preset"_l, presets}}},
                         {"clut"_l, QJsonObject{{"preset"_l, QJsonObject{{"Grey"_l, grey}}}}}}}};
}

void write_user_presets(const QJsonObject &presets)
{
    preset("user/rendering/dvr/preset").set(presets);
}

void write_record(const QJsonValue &record)
{
    if (!record.isUndefined())
        preset(last_preset).set(record);
}

// The recorded name, or "<none>" without a record.
QString recorded()
{
    const auto record = preset(last_preset);
    return record ? record.get().toObject()["key"_l].toString() : QStringLiteral("<none>");
}

QString description(const Model &model)
{
    return QString::fromStdString(model.get_description());
}

std::unique_ptr<Model> create(bool last)
{
    return std::unique_ptr<Model>(Model::create(last));
}

void watch_model(SignalRecorder &recorder, const Model *model)
{
    recorder.watch(model, &Model::shade_changed, "shade_changed"_l);
    recorder.watch(model, &Model::ambient_changed, "ambient_changed"_l);
    recorder.watch(model, &Model::diffuse_changed, "diffuse_changed"_l);
    recorder.watch(model, &Model::specular_changed, "specular_changed"_l);
    recorder.watch(model, &Model::specular_power_changed, "specular_power_changed"_l);
    recorder.watch(model, &Model::window_changed, "window_changed"_l);
    recorder.watch(model, &Model::background_color_changed, "background_color_changed"_l);
    recorder.watch(model, &Model::internal_changed, "internal_changed"_l);
    recorder.watch(model, &Model::reload, "reload"_l);
    recorder.watch(model, &Model::filter_changed, "filter_changed"_l);
}

// Tells whether any model received an event in the application's thread.
class ModelEvents : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *) override
    {
        seen = seen || qobject_cast<Model *>(watched);
        return false;
    }
    bool seen = false;
};

const QStringList cleared{"shade_changed"_l,
                          "ambient_changed"_l,
                          "diffuse_changed"_l,
                          "specular_changed"_l,
                          "specular_power_changed"_l,
                          "window_changed"_l,
                          "background_color_changed"_l,
                          "internal_changed"_l};
const QStringList loaded = cleared + QStringList{"reload"_l, "filter_changed"_l};

} // namespace

class TestPresetLifecycle : public QObject
{
    Q_OBJECT

    std::unique_ptr<TemporaryStore> store;
    std::unique_ptr<korvel::application::impl::Manager> manager;

private Q_SLOTS:
    void init()
    {
        store = std::make_unique<TemporaryStore>();
        store->write_global(shipped_document());
        manager = store->start();
    }
    void cleanup()
    {
        manager.reset();
        store.reset();
    }

    void moves_between_presets_data()
    {
        QTest::addColumn<Event>("event");
        QTest::addColumn<QString>("description");
        QTest::addColumn<bool>("modified");
        QTest::addColumn<float>("width");
        QTest::newRow("create holds the last preset")
            << Event([](Model &) {}) << "Bone" << false << 1000.0f;
        QTest::newRow("an edit marks it modified")
            << Event([](Model &m) { m.set_shade(false); }) << "Bone" << true << 1000.0f;
        QTest::newRow("reset of an edited model restores the stored preset") << Event([](Model &m) {
            m.set_window(10, 5);
            m.reset();
        }) << "Bone" << false << 1000.0f;
        QTest::newRow("load by name holds that preset")
            << Event([](Model &m) { m.load(std::string("Locked")); }) << "Locked" << false
            << 1000.0f;
        QTest::newRow("save leaves the model edited") << Event([](Model &m) {
            m.set_window(10, 5);
            QVERIFY(m.save());
        }) << "Bone" << true << 10.0f;
        QTest::newRow("remove holds the standard preset")
            << Event([](Model &m) { QVERIFY(m.remove()); }) << "Standard" << false << 1000.0f;
        QTest::newRow("clear empties the name and marks it modified")
            << Event([](Model &m) { m.clear(); }) << "" << true << 0.0f;
    }
    void moves_between_presets()
    {
        QFETCH(Event, event);
        QFETCH(QString, description);
        QFETCH(bool, modified);
        QFETCH(float, width);
        write_record(QJsonObject{{"key"_l, "Bone"_l}});
        auto model = create(true);
        event(*model);
        QCOMPARE(::description(*model), description);
        QCOMPARE(model->is_modified(), modified);
        QCOMPARE(model->window_width_level().first, width);
    }

    void reset_of_an_unedited_model_does_nothing()
    {
        auto model = create(true);
        SignalRecorder recorder;
        watch_model(recorder, model.get());
        recorder.watch_store(manager.get());
        model->reset();
        QCOMPARE(recorder.take(), QStringList());
    }

    void load_falls_back_data()
    {
        QTest::addColumn<QJsonObject>("user");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("description");
        QTest::addColumn<double>("ambient");
        QTest::newRow("a user copy shadows the shipped preset")
            << QJsonObject{{"Bone"_l, preset_object("Bone", 3.0, false)}} << "Bone"
            << "Bone" << 3.0;
        QTest::newRow("a user copy of Standard is loaded instead of the shipped one")
            << QJsonObject{{"Standard"_l, preset_object("Standard", 3.0, false)}} << "Standard"
            << "Standard" << 3.0;
        QTest::newRow("a shipped preset without a user copy") << QJsonObject{} << "Bone"
                                                              << "Bone" << 1.0;
        QTest::newRow("an unknown name loads Standard") << QJsonObject{} << "Nowhere"
                                                        << "Standard" << 0.2;
    }
    void load_falls_back()
    {
        QFETCH(QJsonObject, user);
        QFETCH(QString, name);
        QFETCH(QString, description);
        QFETCH(double, ambient);
        write_user_presets(user);
        auto model = create(false);
        model->load(std::string("Locked"));
        model->load(name.toStdString());
        QCOMPARE(::description(*model), description);
        QCOMPARE(model->get_ambient(), ambient);
        // The name asked for, also when a fallback was loaded.
        QCOMPARE(recorded(), name);
    }

    void create_follows_the_record_data()
    {
        QTest::addColumn<QJsonValue>("record");
        QTest::addColumn<bool>("last");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("recorded");
        const QJsonValue none(QJsonValue::Undefined);
        QTest::newRow("create(false) records Standard over another record")
            << QJsonValue(QJsonObject{{"key"_l, "Bone"_l}}) << false << "Standard"
            << "Standard";
        QTest::newRow("create(true) follows the record")
            << QJsonValue(QJsonObject{{"key"_l, "Bone"_l}}) << true << "Bone"
            << "Bone";
        QTest::newRow("create(true) without a record loads and records Standard")
            << none << true << "Standard"
            << "Standard";
        QTest::newRow("create(true) with a record lacking key loads the empty name")
            << QJsonValue(QJsonObject{{"name"_l, "Bone"_l}}) << true << "Standard"
            << "";
    }
    void create_follows_the_record()
    {
        QFETCH(QJsonValue, record);
        QFETCH(bool, last);
        QFETCH(QString, description);
        QFETCH(QString, recorded);
        write_record(record);
        auto model = create(last);
        QCOMPARE(::description(*model), description);
        QVERIFY(!model->is_modified());
        QCOMPARE(::recorded(), recorded);
    }

    void remove_data()
    {
        QTest::addColumn<QJsonObject>("user");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("record");
        QTest::addColumn<bool>("removed");
        QTest::addColumn<QString>("recorded");
        QTest::addColumn<QString>("description");
        const QJsonObject bone_copy{{"Bone"_l, preset_object("Bone", 3.0, false)}};
        QTest::newRow("a read-only preset is kept") << bone_copy << "Locked"
                                                    << "Locked" << false << "Locked"
                                                    << "Locked";
        QTest::newRow("a shadowing user copy goes, and Standard is held, not the shipped one")
            << bone_copy << "Bone"
            << "Bone" << true << "<none>"
            << "Standard";
        QTest::newRow("a record naming another preset stays") << bone_copy << "Bone"
                                                              << "Other" << true << "Other"
                                                              << "Standard";
        QTest::newRow("a record differing only in case stays") << bone_copy << "Bone"
                                                               << "bone" << true << "bone"
                                                               << "Standard";
        QTest::newRow("a shipped preset without a user copy only reloads Standard")
            << QJsonObject{} << "Bone"
            << "Bone" << true << "<none>"
            << "Standard";
    }
    void remove()
    {
        QFETCH(QJsonObject, user);
        QFETCH(QString, name);
        QFETCH(QString, record);
        QFETCH(bool, removed);
        QFETCH(QString, recorded);
        QFETCH(QString, description);
        write_user_presets(user);
        auto model = create(false);
        model->load(name.toStdString());
        write_record(QJsonObject{{"key"_l, record}});
        QCOMPARE(model->remove(), removed);
        QCOMPARE(::recorded(), recorded);
        QCOMPARE(::description(*model), description);
        // Only the user's copy of the removed preset goes; shipped presets stay.
        const bool copy_left = preset("user/rendering/dvr/preset/Bone");
        QCOMPARE(copy_left, !user.isEmpty() && name != "Bone"_l);
        QVERIFY(preset("global/rendering/dvr/preset/" + name.toStdString()));
        if (removed)
            QCOMPARE(model->get_ambient(), 0.2);
    }

    void view_sees_signals_in_order()
    {
        write_user_presets(QJsonObject{{"Bone"_l, preset_object("Bone", 3.0, false)}});
        auto model = create(false);
        SignalRecorder recorder;
        watch_model(recorder, model.get());
        recorder.watch_store(manager.get());

        model->load(std::string("Bone"));
        QCOMPARE(recorder.take(),
                 loaded + QStringList{"modified user/rendering/dvr/last/preset"_l});

        QVERIFY(model->remove());
        const QStringList drops{"dropped user/rendering/dvr/last/preset"_l,
                                "dropped user/rendering/dvr/preset/Bone"_l};
        QCOMPARE(recorder.take(), drops + cleared + loaded);
    }

    void range_violation_passes_out_without_a_record()
    {
        write_record(QJsonObject{{"key"_l, "Bad"_l}});
        QCoreApplication::processEvents();
        QVERIFY_EXCEPTION_THROWN(Model::create(true), std::out_of_range);
        ModelEvents events;
        qApp->installEventFilter(&events);
        QCoreApplication::processEvents();
        qApp->removeEventFilter(&events);
        // The half-loaded model was disposed of: its pending change notification never arrives.
        QVERIFY(!events.seen);
        QCOMPARE(recorded(), "Bad"_l);

        auto model = create(false);
        QVERIFY_EXCEPTION_THROWN(model->load(std::string("Bad")), std::out_of_range);
        QCOMPARE(recorded(), "Standard"_l);
        QVERIFY(model->is_modified());
    }

    void view_in_another_thread_does_not_deadlock()
    {
        auto model = create(false);
        std::atomic<int> started{0};
        std::atomic<bool> editing{true}, torn{false};
        const auto start_together = [&started] {
            ++started;
            while (started < 2)
                std::this_thread::yield();
        };
        std::thread editor([&] {
            start_together();
            for (int i = 0; i < 300; ++i) {
                model->set_window(float(300 + i), 40.0f);
                model->load(std::string(i % 2 ? "Bone" : "Stored"));
                model->set_window(float(200 + i), 10.0f);
                model->reset();
                if (i % 7 == 0)
                    model->remove();
            }
            editing = false;
        });
        // Reads the points, uses the store on its own and saves (the model's lock, then the
        // store's) for as long as the editor runs.
        std::thread view([&] {
            start_together();
            for (int i = 0; editing && i < 1000000; ++i) {
                const std::size_t size = model->get_points().size();
                torn = torn || (size != 0 && size != 256);
                torn = torn || !preset("global/rendering/dvr/preset/Standard");
                preset("user/view/seen").set(QJsonObject{{"i"_l, i}});
                model->save();
            }
        });
        // Waits without running the event loop, whose store save would block in a deadlock too.
        auto joined = std::async(std::launch::async, [&] {
            editor.join();
            view.join();
        });
        if (joined.wait_for(std::chrono::seconds(30)) == std::future_status::timeout)
            qFatal("the model's lock and the store's lock deadlocked");
        QVERIFY(!torn);
    }

    void preset_survives_a_restart()
    {
        std::unique_ptr<Model> model = create(true);
        QCOMPARE(description(*model), "Standard"_l);
        model->set_description("Mine");
        model->set_ambient(2.5);
        model->set_background_color({1.5, 2.5, 3.5});
        model->set_window(123.4f, 56.7f);
        QVERIFY(model->save());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(store->user_file()), 5000);

        manager.reset();
        manager = store->start();
        std::unique_ptr<Model> restarted = create(true);
        QCOMPARE(description(*restarted), "Mine"_l);
        QCOMPARE(restarted->get_ambient(), 2.5);
        QCOMPARE(restarted->get_background_color(), (std::array<double, 3>{1.5, 2.5, 3.5}));
        QCOMPARE(restarted->window_width_level(), std::make_pair(123.4f, 56.7f));
        QCOMPARE(restarted->get_points().size(), std::size_t(256));
        QCOMPARE(restarted->get_points().back().x, model->get_points().back().x);
        QVERIFY(!restarted->is_read_only());
    }
};

KESU_TEST_CLASS(TestPresetLifecycle)
#include "tst_presetlifecycle.moc"
