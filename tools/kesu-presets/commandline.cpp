#include "commandline.h"

#include <application/locations.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kesu::presets {

namespace {

const std::array<const Command *, 7> commands{&list_command,    &show_command,  &render_command,
                                              &gallery_command, &check_command, &export_command,
                                              &import_command};

const QString tool_name = QStringLiteral("kesu-presets");

const QString exit_status =
    QStringLiteral("Exit status:\n"
                   "  0  done\n"
                   "  1  the command ran and found a problem: a missing preset, a preset that\n"
                   "     fails to render, problems found by check, a write that failed\n"
                   "  2  wrong arguments, or an input file that cannot be read or parsed\n");

const Command *find_command(const QString &name)
{
    for (const Command *command : commands)
        if (name == QLatin1String(command->name))
            return command;
    return nullptr;
}

QString command_names()
{
    QStringList names;
    for (const Command *command : commands)
        names << QLatin1String(command->name);
    return names.join(QStringLiteral(", "));
}

// The first argument that is neither an option nor the value of --global or --user.
QString command_name(const QStringList &arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--global") || argument == QLatin1String("--user")
            || argument == QLatin1String("-global") || argument == QLatin1String("-user"))
            ++i;
        else if (!argument.startsWith(QLatin1Char('-')))
            return argument;
    }
    return {};
}

// Breaks text into lines of at most width characters, each indented.
QString wrapped(const QString &text, int indent, int width)
{
    QString result;
    QString line;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > width) {
            result += QString(indent, QLatin1Char(' ')) + line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return result + QString(indent, QLatin1Char(' ')) + line + QLatin1Char('\n');
}

QString overview()
{
    QString text =
        QStringLiteral("Usage: kesu-presets [--global FILE] [--user FILE] COMMAND ...\n\n"
                       "Lists, shows, draws, checks, exports and imports the viewer's "
                       "transfer-function presets.\n\nCommands:\n");
    for (const Command *command : commands)
        text += QStringLiteral("  %1 %2\n%3")
                    .arg(QLatin1String(command->name), QLatin1String(command->synopsis),
                         wrapped(QLatin1String(command->summary), 6, 92));
    text += QStringLiteral("\nOptions:\n"
                           "  --global FILE  the shipped presets file (default: the first of\n"
                           "                 ../Resources/3d_presets.json from the tool's folder,\n"
                           "                 3d_presets.json in the tool's folder, and\n"
                           "                 ../share/KesuPluginManager/3d_presets.json)\n"
                           "  --user FILE    the user's presets file (default: "
                           "$HOME/.kesu/presets.json)\n"
                           "  --no-user      leave the user's presets out\n"
                           "  -h, --help     this help; \"kesu-presets help COMMAND\" for a "
                           "command\n"
                           "  -v, --version  the version\n\n");
    return text + exit_status;
}

// The parser's help with the program's name in place of the path it was started by.
QString command_help(const QCommandLineParser &parser, const Command &command)
{
    const QString help = parser.helpText();
    return QStringLiteral("Usage: kesu-presets %1 %2 [options]")
               .arg(QLatin1String(command.name), QLatin1String(command.synopsis))
        + help.mid(help.indexOf(QLatin1Char('\n'))) + QLatin1Char('\n') + exit_status;
}

int print_version()
{
    print(tool_name + QLatin1Char(' ') + QStringLiteral(KESU_PRESETS_VERSION) + QLatin1Char('\n'));
    return success;
}

int run_command(const Command &command, const QStringList &arguments)
{
    QCommandLineParser parser;
    add_common_options(parser);
    parser.setApplicationDescription(QLatin1String(command.summary));
    parser.addPositionalArgument(QLatin1String(command.name), QStringLiteral("The command."));
    command.add_options(parser);
    if (!parser.parse(arguments))
        return report_error(usage_error, parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        print(command_help(parser, command));
        return success;
    }
    if (parser.isSet(QStringLiteral("version")))
        return print_version();

    QStringList positional = parser.positionalArguments();
    positional.removeFirst();
    if (positional.size() < command.argument_count
        || (positional.size() > command.argument_count && !command.takes_more))
        return report_error(usage_error,
                            QStringLiteral("%1 takes %2%3 argument(s): %1 %4")
                                .arg(QLatin1String(command.name))
                                .arg(command.argument_count)
                                .arg(command.takes_more ? QStringLiteral(" or more") : QString())
                                .arg(QLatin1String(command.synopsis)));
    Files files;
    if (!resolve_files(parser, command, korvel::application::impl::default_user_file(), files))
        return usage_error;
    return command.run({parser, positional, files});
}

// "help" alone, "help COMMAND", the overview's own options, or nothing at all.
int run_overview(const QStringList &arguments, bool asked)
{
    QCommandLineParser parser;
    add_common_options(parser);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command."));
    if (!parser.parse(arguments))
        return report_error(usage_error, parser.errorText());
    if (parser.isSet(QStringLiteral("version")))
        return print_version();
    const QStringList rest = parser.positionalArguments();
    if (rest.size() > 2)
        return report_error(usage_error, QStringLiteral("help takes one command at most"));
    if (rest.size() == 2) {
        if (const Command *command = find_command(rest.at(1)))
            return run_command(*command, {arguments.first(), rest.at(1), QStringLiteral("--help")});
        return report_error(usage_error,
                            QStringLiteral("no help on %1; the commands are %2")
                                .arg(quoted(rest.at(1)), command_names()));
    }
    if (asked || parser.isSet(QStringLiteral("help"))) {
        print(overview());
        return success;
    }
    std::fputs(qUtf8Printable(overview()), stderr);
    return usage_error;
}

} // namespace

int run(const QStringList &arguments)
{
    const QString name = command_name(arguments);
    if (name.isEmpty() || name == QLatin1String("help"))
        return run_overview(arguments, name == QLatin1String("help"));
    const Command *command = find_command(name);
    if (!command)
        return report_error(
            usage_error,
            QStringLiteral("unknown command %1; see kesu-presets --help").arg(quoted(name)));
    return run_command(*command, arguments);
}

bool resolve_files(const QCommandLineParser &parser, const Command &command,
                   const QString &default_user_file, Files &files)
{
    const bool global_named = parser.isSet(QStringLiteral("global"));
    files.global = global_named ? parser.value(QStringLiteral("global"))
                                : korvel::application::impl::default_global_file();
    files.user = parser.isSet(QStringLiteral("user")) ? parser.value(QStringLiteral("user"))
                                                      : default_user_file;
    files.no_user = parser.isSet(QStringLiteral("no-user"));
    if (!global_named && !QFileInfo::exists(files.global)) {
        report_error(usage_error,
                     QStringLiteral("no shipped presets file found beside the tool; "
                                    "give one with --global FILE"));
        return false;
    }
    if (!files.user.isEmpty() || files.no_user)
        return true;
    // Without a home there is no user file: nothing is ever written in its stead.
    if (command.writes_user_file) {
        report_error(usage_error,
                     QStringLiteral("no home folder for the user's presets file; "
                                    "give one with --user FILE"));
        return false;
    }
    report_warning(QStringLiteral("no home folder: the user's presets are left out"));
    files.no_user = true;
    return true;
}

// Help and version are the tool's own options: QCommandLineParser's would add an undocumented
// --help-all that lets a command run.
void add_common_options(QCommandLineParser &parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption({QStringLiteral("global"),
                      QStringLiteral("The shipped presets file (default: the one installed beside "
                                     "the tool)."),
                      QStringLiteral("FILE")});
    parser.addOption(
        {QStringLiteral("user"),
         QStringLiteral("The user's presets file (default: $HOME/.kesu/presets.json, the home "
                        "from the password database when HOME is unset)."),
         QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("no-user"),
                      QStringLiteral("Leave the user's presets out, as if the file were empty.")});
    parser.addOption(
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help.")});
    parser.addOption(
        {{QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Shows the version.")});
}

int report_error(int status, const QString &message)
{
    std::fprintf(stderr, "%s: %s\n", qUtf8Printable(tool_name), qUtf8Printable(message));
    return status;
}

void report_warning(const QString &message)
{
    std::fprintf(stderr, "%s: warning: %s\n", qUtf8Printable(tool_name), qUtf8Printable(message));
}

void print(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

int finish_output(int status)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return status;
    const int error = errno ? errno : EIO;
    return report_error(failure,
                        QStringLiteral("cannot write to standard output: %1")
                            .arg(QString::fromLocal8Bit(std::strerror(error))));
}

QString quoted(const QString &name)
{
    const QByteArray json = QJsonDocument(QJsonArray{name}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

} // namespace kesu::presets
