#pragma once

// What the benchmark executables share: the shipped defaults and documents generated from them,
// a store on files in a temporary folder, and a watch on Qt warnings, since a warning in a
// measured path means that the benchmark measures a failure instead of the work.

#include <application/manager.h>

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <string>

namespace korvel::bench {

// The build tree's copy of resources/3d_presets.json, in "../Resources" beside the executables.
QByteArray shipped_defaults();
QJsonObject shipped_document();
QJsonObject shipped_preset(const QString &name);

// 256 points of a preset of the user's own, evenly spaced from first to last.
QJsonArray points_256(double first, double last);

// A user document of the given number of presets, every second one with 256 points of its own,
// and a last-preset record naming last_preset.
QJsonDocument user_document(int presets, const QString &last_preset = QStringLiteral("Standard"));
// The same as the text of a user file, made once per size and name.
QByteArray user_file_text(int presets, const QString &last_preset = QStringLiteral("Standard"));
QString user_preset_name(int index);

// The document written in the layout of the shipped file (objects indented by four, keys sorted,
// number arrays sixteen to a line, each point on one line), so that generated files have the
// shipped file's proportion of text to values.
QByteArray encode_like_shipped(const QJsonObject &document);
// The shipped defaults with numbered copies of their presets and colour tables added until the
// text reaches about the given size.
QByteArray shipped_of_size(qint64 bytes);

// A manager on a user file (in ".kesu" of a home folder, as for a user) and a shipped file in a
// temporary folder; an empty text leaves the file out.
class TemporaryStore
{
public:
    TemporaryStore(const QByteArray &user_text, const QByteArray &global_text);
    ~TemporaryStore();

    application::impl::Manager &manager() { return *store; }
    QString user_file() const;
    QString global_file() const;

private:
    QString user_folder() const;

    QTemporaryDir folder;
    std::unique_ptr<application::impl::Manager> store;
};

// Runs the calls that models queued for their own thread (their change timers' restarts).
void deliver_posted_events();

// Counts the Qt warnings issued from now on.
void watch_warnings();
int warning_count();
QString last_warning();
// Marks the benchmark as failed when a warning was issued since `before`.
void fail_on_warnings(benchmark::State &state, int before);

// Fails the benchmark with the message when the condition does not hold.
bool expect(benchmark::State &state, bool condition, const char *message);

} // namespace korvel::bench
