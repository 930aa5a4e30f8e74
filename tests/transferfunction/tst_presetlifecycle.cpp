#include <application/configuration.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

using kesu::test::operator""_l;
using korvel::application::preset;
using korvel::transferfunction::Model;

using Event = std::function<void(Model &)>;
Q_DECLARE_METATYPE(Event)

namespace {

const std::string last_preset = "user/rendering/dvr/last/preset";

QJsonObject preset_object(const QString &name, double ambient, bool read_only,
                          const char *clut = "No CLUT")
{
    const QString text = QStringLiteral(
        R"({"background": {"color": [10, 20, 30]}, "blend_mode": 2, "group": "CT", "shade": true,
            "ambient": %1, "diffuse": 0.6, "specular": 0.7, "specular_power": 20,
            "description": "%2", "window": [1000, 300], "read_only": %3,
            "opacity": "Logarithmic Table", "clut": "%4", "filters": {"convolution": ["sharpen"]}})");
    return QJsonDocument::fromJson(
               text.arg(ambient)
                   .arg(name, read_only ? "true"_l : "false"_l, QLatin1String(clut))
                   .toUtf8())
        .object();
}

// "Standard" and "Locked" are read-only, "Bad" has a coefficient out of range, "Stored" takes its
// colour table from the store.
QJsonObject shipped_document()
{
    const QJsonObject presets{{"Standard"_l, preset_object("Standard"_l, 0.2, true)},
                              {"Bone"_l, preset_object("Bone"_l, 1.0, false, "Endoscopy")},
                              {"Locked"_l, preset_object("Locked"_l, 2.0, true)},
                              {"Bad"_l, preset_object("Bad"_l, 5.0, false)},
                              {"Stored"_l, preset_object("Stored"_l, 0.4, false, "Grey")}};
    QJsonArray ramp;
    for (int i = 0; i < 256; ++i)
        ramp.append(i);
    const QJsonObject grey{{"red"_l, ramp}, {"green"_l, ramp}, {"blue"_l, ramp}};
    return {{"rendering"_l,
             QJsonObject{{"dvr"_l, QJsonObject{{"preset"_l, presets}}},
                         {"clut"_l, QJsonObject{{"preset"_l, QJsonObject{{"Grey"_l, grey}}}}}}}};
}

// The recorded name, or "<none>" without a record.
QString recorded()
{
    const auto record = preset(last_preset);
    return record ? record.get().toObject()["key"_l].toString() : QStringLiteral("<none>");
}

Event loads(const char *name)
{
    return Event([name](Model &m) { m.load(std::string(name)); });
}

// Loads the named preset, records another name and removes the preset; the user has a copy of Bone.
Event removes(const char *name, const char *record, bool removed)
{
    return [=](Model &m) {
        m.load(std::string(name));
        preset(last_preset).set(QJsonObject{{"key"_l, QLatin1String(record)}});
        QCOMPARE(m.remove(), removed);
        QCOMPARE(bool(preset("user/rendering/dvr/preset/Bone")), !removed);
        QVERIFY(preset("global/rendering/dvr/preset/" + std::string(name)));
    };
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

class TestPresetLifecycle : public QObject
{
    Q_OBJECT

    std::unique_ptr<kesu::test::TemporaryStore> store;
    std::unique_ptr<korvel::application::impl::Manager> manager;

private Q_SLOTS:
    void init()
    {
        manager.reset();
        store = std::make_unique<kesu::test::TemporaryStore>();
        store->write_global(shipped_document());
        manager = store->start();
    }

    void moves_between_presets_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QJsonValue>("record");
        QTest::addColumn<bool>("last");
        QTest::addColumn<Event>("event");
        QTest::addColumn<QString>("description");
        QTest::addColumn<double>("ambient");
        QTest::addColumn<bool>("modified");
        QTest::addColumn<QString>("recorded");
        const QJsonValue bone(QJsonObject{{"key"_l, "Bone"_l}}), none(QJsonValue::Undefined);
        const QJsonValue locked(QJsonObject{{"key"_l, "Locked"_l}});
        const Event nothing([](Model &) {});
        QTest::newRow("create(true) holds the last preset")
            << "" << bone << true << nothing << "Bone" << 1.0 << false << "Bone";
        QTest::newRow("an edit marks it modified")
            << "" << bone << true << Event([](Model &m) { m.set_shade(false); }) << "Bone" << 1.0
            << true << "Bone";
        QTest::newRow("reset of an edited model restores the stored preset")
            << "" << bone << true << Event([](Model &m) {
                   m.set_ambient(3.5);
                   m.reset();
               })
            << "Bone" << 1.0 << false << "Bone";
        QTest::newRow("load by name holds the shipped preset")
            << "" << bone << true << loads("Locked") << "Locked" << 2.0 << false << "Locked";
        QTest::newRow("save leaves the model edited") << "" << bone << true << Event([](Model &m) {
            m.set_ambient(2.5);
            QVERIFY(m.save());
        }) << "Bone" << 2.5 << true << "Bone";
        QTest::newRow("remove holds Standard and drops the record")
            << "" << bone << true << Event([](Model &m) { QVERIFY(m.remove()); }) << "Standard"
            << 0.2 << false << "<none>";
        QTest::newRow("clear empties the name and marks it modified")
            << "" << bone << true << Event([](Model &m) { m.clear(); }) << "" << 0.15 << true
            << "Bone";
        QTest::newRow("a user copy shadows the shipped preset")
            << "Bone" << locked << true << loads("Bone") << "Bone" << 3.0 << false << "Bone";
        QTest::newRow("a user copy of Standard shadows the shipped one")
            << "Standard" << locked << true << loads("Standard") << "Standard" << 3.0 << false
            << "Standard";
        QTest::newRow("an unknown name loads Standard but records the name asked for")
            << "" << locked << true << loads("Nowhere") << "Standard" << 0.2 << false << "Nowhere";
        QTest::newRow("create(false) records Standard over another record")
            << "" << bone << false << nothing << "Standard" << 0.2 << false << "Standard";
        QTest::newRow("create(true) without a record loads and records Standard")
            << "" << none << true << nothing << "Standard" << 0.2 << false << "Standard";
        QTest::newRow("create(true) with a record lacking key loads the empty name")
            << "" << QJsonValue(QJsonObject{{"name"_l, "Bone"_l}}) << true << nothing << "Standard"
            << 0.2 << false << "";
        QTest::newRow("remove keeps a read-only preset")
            << "Bone" << none << true << removes("Locked", "Locked", false) << "Locked" << 2.0
            << false << "Locked";
        QTest::newRow("remove of a shadowing user copy holds Standard, not the shipped one")
            << "Bone" << none << true << removes("Bone", "Bone", true) << "Standard" << 0.2 << false
            << "<none>";
        QTest::newRow("remove keeps a record naming another preset")
            << "Bone" << none << true << removes("Bone", "Other", true) << "Standard" << 0.2
            << false << "Other";
        QTest::newRow("remove keeps a record differing only in case")
            << "Bone" << none << true << removes("Bone", "bone", true) << "Standard" << 0.2 << false
            << "bone";
    }
    void moves_between_presets()
    {
        QFETCH(QString, user);
        QFETCH(QJsonValue, record);
        QFETCH(bool, last);
        QFETCH(Event, event);
        QFETCH(double, ambient);
        if (!user.isEmpty())
            preset("user/rendering/dvr/preset/" + user.toStdString())
                .set(preset_object(user, 3.0, false));
        if (!record.isUndefined())
            preset(last_preset).set(record);
        std::unique_ptr<Model> model(Model::create(last));
        event(*model);
        QTEST(QString::fromStdString(model->get_description()), "description");
        QCOMPARE(model->get_ambient(), ambient);
        QTEST(model->is_modified(), "modified");
        QTEST(recorded(), "recorded");
    }

    void view_sees_signals_in_order()
    {
        preset("user/rendering/dvr/preset/Bone").set(preset_object("Bone"_l, 3.0, false));
        std::unique_ptr<Model> model(Model::create(false));
        kesu::test::SignalRecorder recorder;
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
        QCOMPARE(recorded(), "Bad"_l);

        std::unique_ptr<Model> model(Model::create(false));
        QVERIFY_EXCEPTION_THROWN(model->load(std::string("Bad")), std::out_of_range);
        QCOMPARE(recorded(), "Standard"_l);
        QVERIFY(model->is_modified());
    }

    void view_in_another_thread_does_not_deadlock()
    {
        std::unique_ptr<Model> model(Model::create(false));
        std::atomic<bool> viewing{false}, editing{true}, torn{false};
        auto editor = std::async(std::launch::async, [&] {
            while (!viewing)
                std::this_thread::yield();
            for (int i = 0; i < 300; ++i) {
                model->load(std::string(i % 2 ? "Bone" : "Stored"));
                model->set_window(float(200 + i), 10.0f);
                model->reset();
                if (i % 7 == 0)
                    model->remove();
            }
            editing = false;
        });
        // Takes the model's lock, then the store's, for as long as the editor runs.
        auto view = std::async(std::launch::async, [&] {
            for (int i = 0; (viewing = true) && editing && i < 1000000; ++i) {
                const std::size_t size = model->get_points().size();
                torn = torn || (size != 0 && size != 256)
                    || !preset("global/rendering/dvr/preset/Standard");
                preset("user/view/seen").set(QJsonObject{{"i"_l, i}});
                model->save();
            }
        });
        // Waits without running the event loop, whose store save would block in a deadlock too.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        if (editor.wait_until(deadline) == std::future_status::timeout
            || view.wait_until(deadline) == std::future_status::timeout)
            qFatal("the model's lock and the store's lock deadlocked");
        QVERIFY(!torn);
    }

    void preset_survives_a_restart()
    {
        std::unique_ptr<Model> model(Model::create(true));
        model->set_description("Mine");
        model->set_ambient(2.5);
        model->set_background_color({1.5, 2.5, 3.5});
        model->set_window(123.4f, 56.7f);
        QVERIFY(model->save());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(store->user_file()), 5000);

        manager.reset();
        manager = store->start();
        std::unique_ptr<Model> restarted(Model::create(true));
        QCOMPARE(QString::fromStdString(restarted->get_description()), "Mine"_l);
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
