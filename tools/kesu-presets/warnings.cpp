#include "warnings.h"

#include "commandline.h"

#include <cstdio>
#include <utility>

namespace kesu::presets {

namespace {

WarningLog *s_log = nullptr;
QString s_context;

void handle_message(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    // A log keeps warnings only: a fatal message says why the tool stops.
    if (s_log && type == QtWarningMsg)
        s_log->add(text);
    else if (s_log)
        std::fprintf(stderr, "%s\n", qUtf8Printable(text));
    else
        report_warning(s_context.isEmpty() ? text : s_context + QStringLiteral(": ") + text);
}

} // namespace

void install_message_handler()
{
    qInstallMessageHandler(handle_message);
}

WarningLog::WarningLog()
    : outer(s_log)
{
    s_log = this;
}

WarningLog::~WarningLog()
{
    s_log = outer;
}

QStringList WarningLog::take()
{
    return std::exchange(warnings, {});
}

WarningContext::WarningContext(const QString &what)
    : outer(s_context)
{
    s_context = what;
}

WarningContext::~WarningContext()
{
    s_context = outer;
}

} // namespace kesu::presets
