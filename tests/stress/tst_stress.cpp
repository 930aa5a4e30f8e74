#include <application/configuration.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <atomic>
#include <map>

using namespace kesu::test;
using korvel::application::preset;
using korvel::transferfunction::Model;

namespace {

using Writes = std::map<std::string, int>;

// "Standard" generated from a stored table, "Bone" with 2 points of its own.
QByteArray shipped_document()
{
    QStringList grey;
    for (int i = 0; i < 256; ++i)
        grey << QString::number(i);
    return json(QStringLiteral("{rendering:{clut:{preset:{Grey:{red:[%1],green:[%1],blue:[%1]}}},"
                               "dvr:{preset:{Standard:{clut:Grey,window:[400,40]},Bone:{clut:Grey,"
                               "window:[400,40],points:[{x:0,y:0},{x:1240,y:1}]}}}}}")
                    .arg(grey.join(u',')));
}

// What one store thread wrote last at each of its paths.
Writes write_store(int thread, const std::atomic<bool> &stop)
{
    Writes last;
    const std::string own = "user/stress/t" + std::to_string(thread) + "/";
    const std::string shared = "user/stress/shared/t" + std::to_string(thread);
    for (int i = 0; !stop; ++i) {
        const auto outer = preset("user/stress/shared"); // nested in the writes below
        for (const std::string &path : {own + "k" + std::to_string(i % 16), shared}) {
            preset(path).set(QJsonObject{{"i"_l, i}});
            last[path] = i;
        }
        preset(own + "gone").set(QJsonObject());
        preset(own + "gone").drop();
    }
    return last;
}

// A model thread writes nothing to check afterwards.
Writes edit_model(Model *model, const std::atomic<bool> &stop)
{
    for (int i = 0; !stop; ++i) {
        model->set_window(float(200 + i % 50), float(i % 30));
        if (i % 8 == 0)
            model->load(i % 16 ? std::string("Standard") : std::string("Bone"));
        if (i % 8 == 4) {
            model->set_description("stress " + std::to_string(i % 3));
            model->save();
        }
        const std::size_t points = model->get_points().size();
        if (points != 256 && points != 2)
            qFatal("a model read %zu points while others edited it", points);
    }
    return {};
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
        store.write(store.global_file(), shipped_document());
        auto manager = store.start();
        WarningRecorder quiet; // the presets are deliberately incomplete
        std::atomic<bool> stop{false};
        std::vector<std::future<Writes>> threads;
        for (int t = 0; t < 4; ++t)
            threads.push_back(std::async(std::launch::async, write_store, t, std::cref(stop)));
        std::vector<std::unique_ptr<Model>> models;
        for (int t = 0; t < 2; ++t) {
            Model *model = models.emplace_back(Model::create(false)).get();
            threads.push_back(std::async(std::launch::async, edit_model, model, std::cref(stop)));
        }
        for (int round = 0; round < 30; ++round) {
            QTest::qWait(100);
            manager->on_save();
        }
        stop = true;
        for (auto &thread : threads) // a deadlock ends in the timeout
            QTRY_VERIFY_WITH_TIMEOUT(
                thread.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 30000);
        manager->on_save();
        const QJsonObject on_disk = store.user_on_disk();
        int checked = 0;
        for (auto &thread : threads) {
            for (const auto &[path, value] : thread.get()) {
                QCOMPARE(preset(path).get()["i"_l].toInt(), value);
                // user/stress/x/y
                const QStringList keys = QString::fromStdString(path).split(u'/');
                QCOMPARE(on_disk[keys[1]][keys[2]][keys[3]]["i"_l].toInt(), value);
                ++checked;
            }
        }
        QCOMPARE(checked, 4 * 17);
    }
};

KESU_TEST_CLASS(TestStress)
#include "tst_stress.moc"
