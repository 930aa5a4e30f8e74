#pragma once

#include <kesupluginmanager_export.h>

#include <QJsonDocument>
#include <QObject>
#include <QString>

#include <atomic>
#include <mutex>

QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

namespace korvel::application::impl {

class Configuration;

// The one process-wide owner of the configuration: the shipped document, read from
// "3d_presets.json" and never written, and the user's document, read from and written to
// "presets.json". The user file is written one second after the last change made through a
// Configuration handle. The host constructs it once, after its QCoreApplication.
class KESUPLUGINMANAGER_EXPORT Manager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Manager)

public:
    // Reads $HOME/.kesu/presets.json and "3d_presets.json" from "../Resources" beside the
    // executable's folder (or from that folder itself when there is no such folder).
    Manager();
    // Reads and writes the given files instead, for tools and tests.
    Manager(const QString &user_file, const QString &global_file);
    // Writes a save that is still pending, so no edit is lost at exit.
    ~Manager() override;

    // The manager constructed last and not yet destroyed, or null.
    static Manager *instance();

    void on_load();
    void on_save();

    QString user_file_path() const { return user_file; }
    QString global_file_path() const { return global_file; }

Q_SIGNALS:
    // Emitted under the store's lock, in the writing thread, after a value was replaced.
    void modified(const QString &path);
    // Emitted under the store's lock, in the writing thread, after a value was removed.
    void dropped(const QString &path);

private:
    friend class Configuration;

    void change_made();
    int save_delay() const;
    bool prepare_overwrite();

    QTimer *save_timer;
    QJsonDocument global_document;
    QJsonDocument user_document;
    std::recursive_mutex documents_mutex;

    QString user_file;
    QString global_file;
    // Milliseconds on a monotonic clock of the first change not yet saved, or 0.
    std::atomic<qint64> first_unsaved_change{0};
    std::atomic<bool> save_pending{false};
    // A user file that could not be read is never overwritten.
    bool user_file_unreadable = false;
    // A user file that is not a JSON object is copied aside before the first save.
    bool user_file_broken = false;
    bool unreadable_reported = false;
};

} // namespace korvel::application::impl
