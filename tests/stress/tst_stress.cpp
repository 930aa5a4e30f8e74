#include <application/configuration.h>
#include <application/manager.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QElapsedTimer>
#include <QJsonArray>

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

using kesu::test::TemporaryStore;
using korvel::application::preset;
using korvel::transferfunction::Model;

namespace {

constexpr int store_threads = 4;
constexpr int model_threads = 2;

// "Standard" generated from a stored table, "Bone" with 32 points of its own.
QJsonObject shipped_document()
{
    QJsonArray grey, points;
    for (int i = 0; i < 256; ++i)
        grey.append(i);
    for (int i = 0; i < 32; ++i)
        points.append(QJsonObject{{QStringLiteral("x"), i * 40}, {QStringLiteral("y"), i / 32.0}});
    const QJsonObject standard{{QStringLiteral("clut"), QStringLiteral("Grey")},
                               {QStringLiteral("window"), QJsonArray{400, 40}}};
    QJsonObject bone = standard;
    bone.insert(QStringLiteral("points"), points);
    const QJsonObject table{{QStringLiteral("red"), grey},
                            {QStringLiteral("green"), grey},
                            {QStringLiteral("blue"), grey}};
    const QJsonObject presets{{QStringLiteral("Standard"), standard},
                              {QStringLiteral("Bone"), bone}};
    QJsonObject rendering{
        {QStringLiteral("dvr"), QJsonObject{{QStringLiteral("preset"), presets}}}};
    rendering.insert(QStringLiteral("clut"),
                     kesu::test::nest({QStringLiteral("preset"), QStringLiteral("Grey")}, table));
    return QJsonObject{{QStringLiteral("rendering"), rendering}};
}

// What one store thread wrote last at each of its paths.
std::map<std::string, int> write_store(int thread, const std::atomic<bool> &stop,
                                       std::atomic<long> &operations)
{
    std::map<std::string, int> last;
    const std::string own = "user/stress/t" + std::to_string(thread) + "/";
    const std::string shared = "user/stress/shared/t" + std::to_string(thread);
    for (int i = 0; !stop; ++i, operations += 5) {
        const auto outer = preset("user/stress/shared"); // nested in the writes below
        const std::string key = own + "k" + std::to_string(i % 16);
        for (const std::string &path : {key, shared}) {
            preset(path).set(QJsonObject{{QStringLiteral("i"), i}});
            last[path] = i;
        }
        preset(own + "gone").set(QJsonObject());
        preset(own + "gone").drop();
    }
    return last;
}

void edit_model(Model *model, const std::atomic<bool> &stop, std::atomic<long> &operations)
{
    for (int i = 0; !stop; ++i, operations += 3) {
        model->set_window(float(200 + i % 50), float(i % 30));
        if (i % 8 == 0)
            model->load(i % 16 ? std::string("Standard") : std::string("Bone"));
        if (i % 8 == 4) {
            model->set_description("stress " + std::to_string(i % 3));
            model->save();
        }
        const std::size_t points = model->get_points().size();
        QVERIFY(points == 256 || points == 32);
    }
}

template<typename Future> bool finished_in_time(Future &future, const QElapsedTimer &deadline)
{
    while (future.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        QCoreApplication::processEvents();
        if (deadline.elapsed() > 30000)
            return false;
    }
    return true;
}

} // namespace

// Threads that write through nested handles and threads that edit, load and save models, while
// the main thread saves: nothing may deadlock and no write may be lost.
class TestStress : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void concurrent_writers_lose_nothing()
    {
        TemporaryStore store;
        store.write_global(shipped_document());
        auto manager = store.start();
        kesu::test::WarningRecorder quiet; // the presets are deliberately incomplete
        std::vector<std::unique_ptr<Model>> models;
        std::atomic<bool> stop{false};
        std::atomic<long> operations{0};
        std::vector<std::future<std::map<std::string, int>>> writers;
        std::vector<std::future<void>> editors;
        for (int t = 0; t < store_threads; ++t)
            writers.push_back(std::async(std::launch::async, write_store, t, std::cref(stop),
                                         std::ref(operations)));
        for (int t = 0; t < model_threads; ++t) {
            models.emplace_back(Model::create(false));
            editors.push_back(std::async(std::launch::async, edit_model, models.back().get(),
                                         std::cref(stop), std::ref(operations)));
        }
        QElapsedTimer clock;
        clock.start();
        int saves = 0;
        for (; clock.elapsed() < 3000; ++saves) {
            QTest::qWait(100);
            manager->on_save();
        }
        stop = true;
        clock.restart();
        for (auto &editor : editors)
            QVERIFY2(finished_in_time(editor, clock), "a model thread deadlocked");
        int checked = 0;
        manager->on_save();
        for (auto &writer : writers) {
            QVERIFY2(finished_in_time(writer, clock), "a store thread deadlocked");
        }
        manager->on_save();
        const QJsonObject on_disk = store.user_on_disk();
        for (auto &writer : writers) {
            for (const auto &[path, value] : writer.get()) {
                QCOMPARE(preset(path).get()[QStringLiteral("i")].toInt(), value);
                QJsonValue saved = on_disk;
                for (const QString &key : QString::fromStdString(path).mid(5).split(u'/'))
                    saved = saved[key];
                QCOMPARE(saved[QStringLiteral("i")].toInt(), value);
                ++checked;
            }
        }
        QVERIFY(checked == store_threads * 17);
        qInfo("stress: %ld operations in %d threads, %d saves, %d last writes checked, none lost",
              operations.load(), store_threads + model_threads, saves, checked);
    }
};

KESU_TEST_CLASS(TestStress)
#include "tst_stress.moc"
