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
    // The command ran and found a problem: a missing preset, a preset that fails to render,
    // problems found by check, a write that failed.
    failure = 1,
    // Wrong arguments, or an input file that cannot be read or parsed.
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
    // How many positional arguments it takes, at least.
    int argument_count;
    // It writes the user's file, so it cannot do without one.
    bool writes_user_file = false;
    // It takes more arguments than argument_count.
    bool takes_more = false;
};

// The subcommands, by group.
extern const Command list_command, show_command, export_command;
extern const Command render_command, gallery_command;
extern const Command check_command;
extern const Command import_command;

// Runs the tool on its arguments (the program name first) and returns the exit status.
int run(const QStringList &arguments);
// The options every command takes: the files, help and version.
void add_common_options(QCommandLineParser &parser);
// The files a command works on, from its options and the library's default places; false, after
// reporting a usage error, when the command needs a user file and there is no home for one.
bool resolve_files(const QCommandLineParser &parser, const Command &command,
                   const QString &default_user_file, Files &files);

// One line on stderr, prefixed with the tool's name; returns status.
int report_error(int status, const QString &message);
// A warning line on stderr that does not change the exit status.
void report_warning(const QString &message);
// Text for stdout, UTF-8.
void print(const QString &text);
// Flushes stdout; failure, reported with its reason, when what was printed did not all arrive.
int finish_output(int status);

// "name" in double quotes, as the messages quote presets and members; control characters and
// quotes inside are escaped as in JSON, so that a name always shows on one line.
QString quoted(const QString &name);

// A name as the library takes it.
std::string utf8(const QString &text);

} // namespace kesu::presets
