#include "commandline.h"

#include <application/locations.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

#include <array>
#include <cstdio>

namespace kesu::presets {

namespace {

const std::array<const Command *, 7> commands{&list_command,    &show_command,  &render_command,
                                              &gallery_command, &check_command, &export_command,
                                              &import_command};

const QString tool_name = QStringLiteral("kesu-presets");

const Command *find_command(const QString &name)
{
    for (const Command *command : commands)
        if (name == QLatin1String(command->name))
            return command;
    return nullptr;
}

void add_common_options(QCommandLineParser &parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption({QStringLiteral("global"),
                      QStringLiteral("The shipped presets file (default: the one installed beside "
                                     "the tool)."),
                      QStringLiteral("FILE")});
    parser.addOption(
        {QStringLiteral("user"),
         QStringLiteral("The user's presets file (default: $HOME/.kesu/presets.json)."),
         QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("no-user"),
                      QStringLiteral("Leave the user's presets out, as if the file were empty.")});
    parser.addHelpOption();
    parser.addVersionOption();
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
                           "  -h, --help     this help; \"kesu-presets COMMAND --help\" for a "
                           "command\n"
                           "  -v, --version  the version\n"
                           "\nExit status: 0 done, 1 problems found or the work failed,\n"
                           "2 wrong arguments or an unreadable file.\n");
    return text;
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
        QString help = parser.helpText();
        help.replace(QStringLiteral("[options] ") + QLatin1String(command.name),
                     QLatin1String(command.name) + QLatin1Char(' ')
                         + QLatin1String(command.synopsis) + QStringLiteral(" [options]"));
        print(help);
        return success;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        print(tool_name + QLatin1Char(' ') + QStringLiteral(KESU_PRESETS_VERSION)
              + QLatin1Char('\n'));
        return success;
    }

    QStringList positional = parser.positionalArguments();
    positional.removeFirst();
    if (positional.size() != command.argument_count)
        return report_error(usage_error,
                            QStringLiteral("%1 takes %2 argument(s): %1 %3")
                                .arg(QLatin1String(command.name))
                                .arg(command.argument_count)
                                .arg(QLatin1String(command.synopsis)));

    // The library's own places, unless named.
    Files files;
    files.global = parser.isSet(QStringLiteral("global"))
        ? parser.value(QStringLiteral("global"))
        : korvel::application::impl::default_global_file();
    files.user = parser.isSet(QStringLiteral("user"))
        ? parser.value(QStringLiteral("user"))
        : korvel::application::impl::default_user_file();
    files.no_user = parser.isSet(QStringLiteral("no-user"));
    if (!parser.isSet(QStringLiteral("global")) && !QFileInfo::exists(files.global))
        return report_error(usage_error,
                            QStringLiteral("no shipped presets file found beside the tool; "
                                           "give one with --global FILE"));
    return command.run({parser, positional, files});
}

} // namespace

int run(const QStringList &arguments)
{
    const QString name = command_name(arguments);
    if (name.isEmpty() || name == QLatin1String("help")) {
        QCommandLineParser parser;
        add_common_options(parser);
        parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command."));
        if (!parser.parse(arguments))
            return report_error(usage_error, parser.errorText());
        if (parser.isSet(QStringLiteral("version"))) {
            print(tool_name + QLatin1Char(' ') + QStringLiteral(KESU_PRESETS_VERSION)
                  + QLatin1Char('\n'));
            return success;
        }
        const QStringList rest = parser.positionalArguments();
        if (rest.size() > 1 && find_command(rest.at(1)))
            return run_command(*find_command(rest.at(1)),
                               {arguments.first(), rest.at(1), QStringLiteral("--help")});
        if (parser.isSet(QStringLiteral("help")) || name == QLatin1String("help")) {
            print(overview());
            return success;
        }
        std::fputs(qUtf8Printable(overview()), stderr);
        return usage_error;
    }
    const Command *command = find_command(name);
    if (!command)
        return report_error(
            usage_error,
            QStringLiteral("unknown command %1; see kesu-presets --help").arg(quoted(name)));
    return run_command(*command, arguments);
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

QString quoted(const QString &name)
{
    return QLatin1Char('"') + name + QLatin1Char('"');
}

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

} // namespace kesu::presets
