#include <transferfunction/model.h>

#include "testing.h"

#include <QJsonArray>
#include <QMetaMethod>
#include <QSignalSpy>

#include <map>
#include <stdexcept>

using namespace kesu::test;
using korvel::application::impl::Manager;
using M = korvel::transferfunction::Model;
using korvel::transferfunction::BlendMode;

class TestModel : public QObject
{
    Q_OBJECT

    // The fields of the model as "name=value" with the digits that tell numbers apart; the
    // histogram and its range, read without the lock, only when asked for.
    static QString fields(const M &m, bool histogram = true)
    {
        const auto [width, level] = m.window_width_level();
        const auto [low, high] = m.get_range();
        const auto c = m.get_background_color();
        QString s = QString::asprintf(
            "shade=%d ambient=%.16g diffuse=%.16g specular=%.16g power=%.16g window=%.16g,%.16g "
            "range=%.16g,%.16g background=%g,%g,%g bins=%zu points=%zu blend=%d description=%s "
            "category=%s opacity=%s clut=%s filter=%s custom=%d read_only=%d modified=%d",
            m.is_shade(), m.get_ambient(), m.get_diffuse(), m.get_specular(),
            m.get_specular_power(), double(width), double(level), low, high, c[0], c[1], c[2],
            m.get_historgram_bins(), m.get_points().size(), int(m.get_blend_mode()),
            m.get_description().c_str(), m.get_category().c_str(), m.get_opacity_table().c_str(),
            m.get_clut().c_str(), m.get_convolution_filter().c_str(), m.is_custom_opacity(),
            m.is_read_only(), m.is_modified());
        if (histogram)
            s += QString::asprintf(" histogram=%zu:%g,%g", m.get_histogram().size(),
                                   m.get_histogram_range().min, m.get_histogram_range().max);
        return s;
    }

    // The fields of the model that differ from those given.
    static QString changes(const QString &before, const M &m)
    {
        QStringList after = fields(m).split(QLatin1Char(' '));
        for (const QString &field : before.split(QLatin1Char(' ')))
            after.removeOne(field);
        return after.join(QLatin1Char(' '));
    }

    // The arguments of a step as numbers and as its first word, and the log its answers go to.
    struct Args
    {
        std::vector<double> n;
        std::vector<M::Point> points;
        std::string text;
        SignalRecorder &log;
    };
    using Step = std::function<void(M &, Args &)>;

    std::unique_ptr<TemporaryStore> store;
    std::unique_ptr<Manager> manager;

    const std::map<QString, Step> steps{
        {"shade"_l, Step([](M &m, Args &a) { m.set_shade(a.n[0] != 0); })},
        {"ambient"_l, Step([](M &m, Args &a) { m.set_ambient(a.n[0]); })},
        {"diffuse"_l, Step([](M &m, Args &a) { m.set_diffuse(a.n[0]); })},
        {"specular"_l, Step([](M &m, Args &a) { m.set_specular(a.n[0]); })},
        {"power"_l, Step([](M &m, Args &a) { m.set_specular_power(a.n[0]); })},
        {"blend"_l, Step([](M &m, Args &a) { m.set_blend_mode(BlendMode(a.n[0])); })},
        {"window"_l, Step([](M &m, Args &a) { m.set_window(float(a.n[0]), float(a.n[1])); })},
        {"points"_l, Step([](M &m, Args &a) { m.set_points(std::move(a.points)); })},
        {"histogram"_l, Step([](M &m, Args &a) {
             m.set_historgram(std::vector<float>(std::size_t(a.n[0])), {a.n[1], a.n[2]});
         })},
        {"background"_l, Step([](M &m, Args &a) {
             m.set_background_color({a.n[0], a.n[1], a.n[2]});
         })},
        {"description"_l, Step([](M &m, Args &a) { m.set_description(std::string(a.text)); })},
        {"category"_l, Step([](M &m, Args &a) { m.set_category(a.text); })},
        {"clear"_l, Step([](M &m, Args &) { m.clear(); })},
        {"load"_l, Step([](M &m, Args &a) { m.load(a.text); })},
        {"reset"_l, Step([](M &m, Args &) { m.reset(); })},
        {"update"_l, Step([](M &m, Args &) { m.update_opacity_table(); })},
        {"save"_l, Step([](M &m, Args &) { m.save(); })},
        {"read"_l, Step([](M &m, Args &) { fields(m, false); })},
        {"remove"_l, Step([](M &m, Args &a) { a.log.record(m.remove() ? "gone"_l : "kept"_l); })},
        // A model of its own from the last-preset record, logged where it differs from m.
        {"create"_l, Step([](M &m, Args &a) {
             a.log.record("created"_l + changes(fields(m), *std::unique_ptr<M>(M::create(true))));
         })}};

    // Runs an edit written as "step arguments; step arguments"; the text of an exception that
    // refuses a step goes to the log.
    void run(M &m, const QString &edit, SignalRecorder &log) const
    {
        for (const QString &text : edit.split("; "_l, Qt::SkipEmptyParts)) {
            QStringList words = text.split(QLatin1Char(' '));
            Args args{{}, {}, words.value(1).toStdString(), log};
            for (const QString &word : words.mid(1)) {
                args.n.push_back(word.toDouble());
                args.points.push_back({args.n.back()});
            }
            try {
                steps.at(words[0])(m, args);
            } catch (const std::logic_error &error) {
                log.record(QString::fromLatin1(error.what()));
            }
        }
    }

private Q_SLOTS:
    // "Standard" from the built-in grey, "Stored" from the stored table "Grey", the read-only
    // "Own" with three points of its own; the user's "Mine" holds "x", as an earlier version
    // stored "Mine/x".
    void init()
    {
        manager.reset();
        store = std::make_unique<TemporaryStore>();
        const QJsonArray channel = QJsonArray::fromVariantList(QVector<QVariant>(256, 9).toList());
        const QJsonObject presets{
            {"Standard"_l, with_members(R"({"description": "Standard", "window": [200, 100]})")},
            {"Stored"_l, with_members(R"({"description": "Stored", "clut": "Grey"})")},
            {"Own"_l,
             with_members(R"({"description": "Own", "window": [200, 100], "read_only": true,
                "points": [{"x": 0}, {"x": 100}, {"x": 200}]})")}};
        const QJsonObject grey{{"red"_l, channel}, {"green"_l, channel}, {"blue"_l, channel}};
        store->write_global(nest({"rendering"_l},
                                 QJsonObject{{"dvr"_l, nest({"preset"_l}, presets)},
                                             {"clut"_l, nest({"preset"_l, "Grey"_l}, grey)}}));
        store->write_user(nest({"rendering"_l, "dvr"_l, "preset"_l, "Mine"_l, "x"_l},
                               with_members(R"({"description": "Mine/x", "window": [9, 9]})")));
        manager = store->start();
    }

    // An edit of a new model (no preset) or of one holding a preset: the signals of the model and
    // the store and the answers of the steps in their order, the warnings, then the fields that
    // changed.
    void edits_data()
    {
        columns({"preset", "edit", "expected"});
        // set_shade signals without a change, set_description with no signal of its own.
        row("the coefficients take their bounds, NaN too; no points give an empty window",
            {"",
             "ambient 4; ambient 4.000001; diffuse -1; diffuse nan; specular 5; specular 0; "
             "power 256.5; power 256; shade 1; background 1 2 3; description M; points",
             "ambient internal range violation range violation diffuse internal range violation "
             "specular internal range violation specular_power internal shade internal "
             "background_color internal internal window internal |  | ambient=4 diffuse=nan "
             "specular=0 power=256 background=1,2,3 description=M modified=1"});
        // The exact half width would give a level of -8388357.5.
        row("the level from the width as float, the range of histogram and points, silent setters",
            {"", "histogram 2 0 400; category CT; blend 3; points -16777215 500",
             "histogram window internal |  | window=16777716,-8388357 range=-16777215,500 points=2 "
             "blend=3 category=CT modified=1 histogram=2:0,400"});
        row("clear resets all but the histogram",
            {"", "load Own; histogram 3 -1000 3000; clear",
             "clear reload filter modified last/preset histogram clear |  | range=-1000,3000 "
             "modified=1 histogram=3:-1000,3000"});
        row("the model's own points move onto a new window by the map of their extent",
            {"Own", "window 400 -1000",
             "window internal |  | window=400,-1000 range=-1200,4096 modified=1"});
        // Points handed in out of order may lie far outside their extent, where moving them onto
        // a new window overflows: they are stacked on the level.
        row("values that are not finite change nothing; points far outside stay finite",
            {"Own",
             "window 400 inf; points 0 nan 10; points -3e38 3e38; points 1e39 1e39; "
             "points 0 1e300 1e-30; window 1000 0",
             "window internal window internal | non-finite window ignored: 400, inf; non-finite "
             "point ignored: point 1; non-finite window ignored: inf, inf; non-finite window "
             "ignored: 0, inf | window=1000,0 range=-10,4096 modified=1"});
        // A new name makes a read-only preset the user's; one with "/" would remove inside "Mine".
        row("remove and load refuse a read-only preset and a name with a slash",
            {"Own",
             "remove; description Mine/x; remove; description Gone; remove; load Mine/x; create",
             "kept internal kept internal clear clear reload filter gone clear reload "
             "filter modified last/preset modified last/preset created | preset name contains "
             "\"/\", not removed: Mine/x; preset name contains \"/\", not found: Mine/x | "
             "points=256 description=Standard custom=0 read_only=0"});
    }
    void edits()
    {
        QFETCH(QString, preset);
        QFETCH(QString, edit);
        // Made in another thread; a load here and an edit there give one changed().
        const std::unique_ptr<M> model = finishes("a model", [] { return std::make_unique<M>(); });
        QSignalSpy changed(model.get(), &M::changed);
        if (!preset.isEmpty())
            model->load(preset.toStdString());
        const QString before = fields(*model);
        SignalRecorder log;
        QObject context;
        // Each receiver reads the model back, as a view does.
        const std::function<void()> read_back([&] { fields(*model); });
        for (const auto signal :
             {&M::reload, &M::shade_changed, &M::ambient_changed, &M::diffuse_changed,
              &M::specular_changed, &M::specular_power_changed, &M::histogram_changed,
              &M::window_changed, &M::background_color_changed, &M::filter_changed}) {
            log.watch(model.get(), signal, QLatin1String(QMetaMethod::fromSignal(signal).name()));
            connect(model.get(), signal, &context, read_back, Qt::DirectConnection);
        }
        log.watch(model.get(), &M::internal_changed, "internal"_l);
        log.watch_store(manager.get());
        connect(manager.get(), &Manager::modified, &context, read_back, Qt::DirectConnection);
        WarningRecorder warnings;
        finishes("an edit", [&] { run(*model, edit, log); });
        const QString cleared = QStringLiteral(
            "shade ambient diffuse specular specular_power window background_color internal");
        QString seen = log.take().join(QLatin1Char(' ')) + " | "_l
            + warnings.warnings().join("; "_l) + " | "_l + changes(before, *model);
        QTEST(seen.remove("_changed"_l).remove("user/rendering/dvr/"_l).replace(cleared, "clear"_l),
              "expected");
        // A second burst is announced as the first was, each once.
        QVERIFY(changed.wait(1000));
        finishes("a second burst", [&] { run(*model, "ambient 1; clear"_l, log); });
        QVERIFY(changed.wait(1000));
        QTest::qWait(50);
        QCOMPARE(changed.count(), 2);
    }

    // Three threads set every field and read them all while two move the model between presets,
    // save it and set windows, and one loads another model, whose record reaches a view of the
    // first under the store's lock. Run under ThreadSanitizer, any unguarded field is a reported
    // race.
    void every_accessor_from_many_threads()
    {
        M model, other;
        // Between the clear() and the load of remove(), a window is generated for no table.
        WarningRecorder quiet;
        const std::function<void()> read([&] { fields(model, false); });
        connect(manager.get(), &Manager::modified, this, read, Qt::DirectConnection);
        const QString edits = "read; shade 0; ambient 1; diffuse 1; specular 2; power 2; blend 1; "
                              "background 1 2 3; category C; histogram 2 0 1; points 0 5; "_l;
        const QString moves = "read; window 150 0; load Own; window 250 1; description Own; save; "
                              "reset; window 100 0; update; remove; window 200 5; load Stored; "_l;
        SignalRecorder log;
        const auto use = [&](M *m, const QString &edit) {
            return std::async(std::launch::async,
                              [&, m, edit] { run(*m, edit.repeated(100), log); });
        };
        finishes("every accessor", [&] {
            std::future<void> threads[] = {
                use(&model, edits), use(&model, edits), use(&model, edits),
                use(&model, moves), use(&model, moves), use(&other, "load Own; load Stored; "_l)};
            for (std::future<void> &thread : threads)
                thread.get(); // what a thread throws fails the test
        });
        // Without a manager the colour table cannot be read: the window stays as it was.
        const QString before = fields(other);
        manager.reset();
        QVERIFY_EXCEPTION_THROWN(other.set_window(500, 60), std::logic_error);
        QCOMPARE(fields(other), before);
    }
};

KESU_TEST_CLASS(TestModel)

#include "tst_model.moc"
