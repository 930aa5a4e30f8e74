#pragma once

// The command line of kesu-presets: the options every subcommand shares, the table of
// subcommands, and the conventions for output and exit status.

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <string>

namespace kesu::presets {

// Exit status of every subcommand.
enum Status : int {
    success = 0,
    // Problems found, a preset missing, a file not written.
    failure = 1,
    // Wrong arguments or an input file that cannot be read.
    usage_error = 2,
};

// The two files of the store the tool works on.
struct Files
{
    QString global;
    QString user;
    // The user's file is left out, as if it were empty.
    bool no_user = false;
};

struct Invocation
{
    const QCommandLineParser &parser;
    // The subcommand's own arguments, without its name.
    QStringList arguments;
    Files files;
};

struct Command
{
    const char *name;
    // The arguments as the help shows them, e.g. "NAME -o FILE.png".
    const char *synopsis;
    const char *summary;
    void (*add_options)(QCommandLineParser &parser);
    int (*run)(const Invocation &invocation);
    // How many positional arguments it takes.
    int argument_count;
};

// The subcommands, by group.
extern const Command list_command, show_command, export_command;
extern const Command render_command, gallery_command;
extern const Command check_command;
extern const Command import_command;

// Runs the tool on its arguments (the program name first) and returns the exit status.
int run(const QStringList &arguments);

// One line on stderr, prefixed with the tool's name; returns status.
int report_error(int status, const QString &message);
// A warning line on stderr that does not change the exit status.
void report_warning(const QString &message);
// Text for stdout, UTF-8.
void print(const QString &text);

// "name" in double quotes, as the messages quote presets and members.
QString quoted(const QString &name);

// A name as the library takes it.
std::string utf8(const QString &text);

} // namespace kesu::presets
