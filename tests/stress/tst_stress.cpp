#include <application/configuration.h>
#include <application/manager.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QElapsedTimer>
#include <QJsonArray>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

using kesu::test::nest;
using kesu::test::TemporaryStore;
using korvel::application::preset;
using korvel::transferfunction::Model;

namespace {

constexpr int store_threads = 4;
constexpr int model_threads = 2;
constexpr std::chrono::milliseconds run_time(3000);

QJsonObject generated_preset(const QString &name)
{
    return QJsonObject{
        {QStringLiteral("description"), name},
        {QStringLiteral("clut"), QStringLiteral("Grey")},
        {QStringLiteral("opacity"), QStringLiteral("Logarithmic Table")},
        {QStringLiteral("window"), QJsonArray{400, 40}},
        {QStringLiteral("read_only"), true},
        {QStringLiteral("background"), QJsonObject{{QStringLiteral("color"), QJsonArray{0, 0, 0}}}},
        {QStringLiteral("blend_mode"), 0},
        {QStringLiteral("group"), QStringLiteral("Stress")},
        {QStringLiteral("shade"), true},
        {QStringLiteral("ambient"), 0.2},
        {QStringLiteral("diffuse"), 0.7},
        {QStringLiteral("specular"), 0.3},
        {QStringLiteral("specular_power"), 10},
        {QStringLiteral("filters"),
         QJsonObject{{QStringLiteral("convolution"), QJsonArray{QStringLiteral("none")}}}}};
}

QJsonObject custom_preset(const QString &name)
{
    QJsonArray points;
    for (int i = 0; i < 32; ++i)
        points.append(QJsonObject{{QStringLiteral("x"), i * 40}, {QStringLiteral("y"), i / 32.0}});
    QJsonObject preset = generated_preset(name);
    preset.insert(QStringLiteral("points"), points);
    return preset;
}

QJsonObject shipped_document()
{
    QJsonArray grey;
    for (int i = 0; i < 256; ++i)
        grey.append(i);
    const QJsonObject presets{
        {QStringLiteral("Standard"), generated_preset(QStringLiteral("Standard"))},
        {QStringLiteral("Bone"), custom_preset(QStringLiteral("Bone"))}};
    const QJsonObject cluts{{QStringLiteral("Grey"),
                             QJsonObject{{QStringLiteral("red"), grey},
                                         {QStringLiteral("green"), grey},
                                         {QStringLiteral("blue"), grey}}}};
    QJsonObject rendering{{QStringLiteral("dvr"), QJsonObject{{QStringLiteral("preset"), presets}}},
                          {QStringLiteral("clut"), QJsonObject{{QStringLiteral("preset"), cluts}}}};
    return QJsonObject{{QStringLiteral("rendering"), rendering}};
}

// What one store thread wrote last at each of its paths; written only by that thread.
using LastValues = std::map<std::string, int>;

LastValues run_store_thread(int thread, const std::atomic<bool> &stop,
                            std::atomic<long> &operations)
{
    LastValues last;
    const std::string own = "user/stress/t" + std::to_string(thread) + "/";
    for (int i = 0; !stop; ++i) {
        const auto outer = preset("user/stress/shared");
        auto inner = preset(own + "k" + std::to_string(i % 16));
        inner.set(QJsonObject{{QStringLiteral("i"), i}});
        last[own + "k" + std::to_string(i % 16)] = i;
        preset("user/stress/shared/t" + std::to_string(thread))
            .set(QJsonObject{{QStringLiteral("i"), i}});
        last["user/stress/shared/t" + std::to_string(thread)] = i;
        preset(own + "gone").set(QJsonObject{{QStringLiteral("i"), i}});
        preset(own + "gone").drop();
        operations += 5;
    }
    return last;
}

void run_model_thread(Model *model, const std::atomic<bool> &stop, std::atomic<long> &operations)
{
    for (int i = 0; !stop; ++i) {
        model->set_window(float(200 + i % 50), float(i % 30));
        if (i % 8 == 0)
            model->load(i % 16 == 0 ? std::string("Bone") : std::string("Standard"));
        if (i % 8 == 4) {
            model->set_description("stress " + std::to_string(i % 3));
            model->save();
        }
        const auto points = model->get_points();
        QVERIFY(points.size() == 256 || points.size() == 32);
        operations += 3;
    }
}

} // namespace

// Threads that write through nested handles and threads that edit, load and save models, while
// the main thread's event loop saves the store: nothing may deadlock and no write may be lost.
class TestStress : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void concurrent_writers_lose_nothing()
    {
        TemporaryStore store;
        store.write_global(shipped_document());
        auto manager = store.start();
        std::vector<std::unique_ptr<Model>> models;
        for (int i = 0; i < model_threads; ++i)
            models.emplace_back(Model::create(false));

        std::atomic<bool> stop{false};
        std::atomic<long> operations{0};
        std::vector<std::future<LastValues>> writers;
        for (int t = 0; t < store_threads; ++t)
            writers.push_back(std::async(std::launch::async, run_store_thread, t, std::cref(stop),
                                         std::ref(operations)));
        std::vector<std::future<void>> editors;
        for (auto &model : models)
            editors.push_back(std::async(std::launch::async, run_model_thread, model.get(),
                                         std::cref(stop), std::ref(operations)));

        // The main thread saves while the others write, as the debounced save would.
        QElapsedTimer running;
        running.start();
        int saves = 0;
        while (running.elapsed() < run_time.count()) {
            QTest::qWait(100);
            manager->on_save();
            ++saves;
        }
        stop = true;
        QElapsedTimer deadline;
        deadline.start();
        std::vector<LastValues> written;
        for (auto &writer : writers) {
            while (writer.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
                QCoreApplication::processEvents();
                QVERIFY2(deadline.elapsed() < 30000, "store thread deadlocked");
            }
            written.push_back(writer.get());
        }
        for (auto &editor : editors) {
            while (editor.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
                QCoreApplication::processEvents();
                QVERIFY2(deadline.elapsed() < 30000, "model thread deadlocked");
            }
            editor.get();
        }

        manager->on_save();
        const QJsonObject on_disk = store.user_on_disk();
        int checked = 0;
        for (const LastValues &values : written) {
            for (const auto &[path, value] : values) {
                QCOMPARE(preset(path).get().toObject()[QStringLiteral("i")].toInt(), value);
                QJsonValue saved = on_disk;
                for (const QString &key : QString::fromStdString(path).mid(5).split(u'/'))
                    saved = saved.toObject().value(key);
                QCOMPARE(saved.toObject()[QStringLiteral("i")].toInt(), value);
                ++checked;
            }
        }
        QVERIFY(checked >= store_threads * 17);
        qInfo("stress: %ld operations in %d threads, %d saves, %d last writes checked, none lost",
              operations.load(), store_threads + model_threads, saves, checked);
    }
};

KESU_TEST_CLASS(TestStress)
#include "tst_stress.moc"
