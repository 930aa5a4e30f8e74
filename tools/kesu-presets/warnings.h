#pragma once

// The one message handler of kesu-presets: the library's warnings are kept by the innermost live
// WarningLog, or printed on stderr with the current WarningContext.

#include <QString>
#include <QStringList>

namespace kesu::presets {

// Installed once, before anything can issue a message.
void install_message_handler();

// Keeps the warnings issued while it lives instead of printing them; critical and fatal messages
// are printed all the same.
class WarningLog
{
public:
    WarningLog();
    ~WarningLog();
    WarningLog(const WarningLog &) = delete;
    WarningLog &operator=(const WarningLog &) = delete;

    QStringList take();
    void add(const QString &text) { warnings.append(text); }

private:
    WarningLog *outer;
    QStringList warnings;
};

// Names what the warnings printed while it lives are about, e.g. preset "CT Bone".
class WarningContext
{
public:
    explicit WarningContext(const QString &what);
    ~WarningContext();
    WarningContext(const WarningContext &) = delete;
    WarningContext &operator=(const WarningContext &) = delete;

private:
    QString outer;
};

} // namespace kesu::presets
