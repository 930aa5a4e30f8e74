// The subcommands that draw presets: render and gallery.

#include "commandline.h"
#include "output.h"
#include "renderer.h"
#include "store.h"
#include "warnings.h"

#include <transferfunction/model.h>
#include <transferfunction/presetschema.h>

#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <future>
#include <utility>

#include <unistd.h>

namespace kesu::presets {

namespace {

using korvel::transferfunction::Model;
namespace schema = korvel::transferfunction::schema;

constexpr int smallest_side = 120;
constexpr int largest_side = 4000;
// Beyond this many pixels on a side, image writers and viewers give up.
constexpr int largest_picture_side = 32768;

bool parse_size(const QString &text, int &width, int &height)
{
    const auto match = QRegularExpression(QStringLiteral("^(\\d{1,5})[xX](\\d{1,5})$")).match(text);
    if (!match.hasMatch())
        return false;
    width = match.captured(1).toInt();
    height = match.captured(2).toInt();
    return std::min(width, height) >= smallest_side && std::max(width, height) <= largest_side;
}

bool parse_window(const QString &text, float &width, float &level)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 2)
        return false;
    bool width_ok = false;
    bool level_ok = false;
    const double w = parts.at(0).trimmed().toDouble(&width_ok);
    const double l = parts.at(1).trimmed().toDouble(&level_ok);
    // Within float's range, as the model holds the window.
    if (!width_ok || !level_ok || !(w > 0.0) || !(std::abs(w) < 1e30) || !(std::abs(l) < 1e30))
        return false;
    width = float(w);
    level = float(l);
    return true;
}

// A whole number option from lowest to highest; false when it is given and is not one.
bool parse_count(const QCommandLineParser &parser, const char *option, int lowest, int highest,
                 int &value)
{
    if (!parser.isSet(QLatin1String(option)))
        return true;
    bool ok = false;
    value = parser.value(QLatin1String(option)).toInt(&ok);
    if (ok && value >= lowest && value <= highest)
        return true;
    report_error(usage_error,
                 QStringLiteral("--%1 takes a whole number from %2 to %3")
                     .arg(QLatin1String(option))
                     .arg(lowest)
                     .arg(highest));
    return false;
}

// The output path and its picture format; false after reporting a usage error.
bool picture_output(const Invocation &invocation, QString &output, QByteArray &format)
{
    output = invocation.parser.value(QStringLiteral("output"));
    if (output.isEmpty()) {
        report_error(usage_error,
                     QStringLiteral("%1 needs -o FILE (\"-\" for standard output)")
                         .arg(invocation.parser.positionalArguments().first()));
        return false;
    }
    format = picture_format(output);
    return !format.isEmpty();
}

// The preset that render draws: NAME, or with --fallback what the viewer loads in its stead.
Reading read_for_render(const Store &store, const QString &name, bool fallback)
{
    const Found found = store.find(name);
    if (found.path.isEmpty() || (found.fallback && !fallback)) {
        report_error(failure,
                     QStringLiteral("no preset %1%2")
                         .arg(quoted(name),
                              found.path.isEmpty()
                                  ? QStringLiteral(", and no \"Standard\" to fall back to")
                                  : QStringLiteral("; --fallback draws \"Standard\", "
                                                   "which the viewer loads in its stead")));
        return {};
    }
    if (found.fallback)
        report_warning(QStringLiteral("no preset %1; drawing \"Standard\", which the viewer "
                                      "loads in its stead")
                           .arg(quoted(name)));
    Reading reading =
        store.read(found.fallback ? QLatin1String(schema::standard_name) : name, found.value);
    report_findings(reading);
    return reading;
}

// The colour tables named, one strip each; a table that cannot be used is a problem.
int draw_tables(const Invocation &invocation, const QString &output, const QByteArray &format,
                int width)
{
    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
    const std::vector<TableEntry> tables = store->tables();
    QVector<TableStrip> strips;
    for (const QString &name : invocation.arguments) {
        const auto table = std::find_if(tables.begin(), tables.end(),
                                        [&](const TableEntry &t) { return t.name == name; });
        if (table == tables.end())
            return report_error(failure, QStringLiteral("no colour table %1").arg(quoted(name)));
        TableStrip strip{name, table->source(), store->table_colours(name)};
        if (strip.colours.size() != schema::table_size)
            return report_error(
                failure,
                QStringLiteral("colour table %1 cannot be used: %2")
                    .arg(quoted(name), check_table(name, table->value).front().what()));
        strips.append(strip);
    }
    status = write_picture(render_tables(strips, width), format, output);
    if (status == success && output != QLatin1String("-"))
        print(QStringLiteral("wrote %1: %2 colour tables\n").arg(output).arg(strips.size()));
    return status;
}

int run_render(const Invocation &invocation)
{
    const QCommandLineParser &parser = invocation.parser;
    QString output;
    QByteArray format;
    if (!picture_output(invocation, output, format))
        return usage_error;
    const bool tables = parser.isSet(QStringLiteral("table"));
    if (!tables && invocation.arguments.size() > 1)
        return report_error(usage_error,
                            QStringLiteral("render takes one NAME; several colour "
                                           "tables with --table"));
    int width = 800;
    int height = 360;
    if (parser.isSet(QStringLiteral("size"))
        && !parse_size(parser.value(QStringLiteral("size")), width, height))
        return report_error(usage_error,
                            QStringLiteral("--size takes WIDTHxHEIGHT, each from %1 to %2 pixels")
                                .arg(smallest_side)
                                .arg(largest_side));
    float window_width = 0.0f;
    float window_level = 0.0f;
    const bool windowed = parser.isSet(QStringLiteral("window"));
    if (windowed
        && !parse_window(parser.value(QStringLiteral("window")), window_width, window_level))
        return report_error(usage_error,
                            QStringLiteral("--window takes WIDTH,LEVEL with a positive width"));
    if (tables)
        return draw_tables(invocation, output, format, width);

    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
    const QString name = invocation.arguments.first();
    const Reading reading = read_for_render(*store, name, parser.isSet(QStringLiteral("fallback")));
    if (!reading.usable)
        return failure;
    if (windowed) {
        WarningContext context(QStringLiteral("preset ") + quoted(name));
        reading.model->set_window(window_width, window_level);
    }
    const QImage image = render_preset(PresetPicture::of(*reading.model, {}), width, height);
    status = write_picture(image, format, output);
    if (status == success && output != QLatin1String("-"))
        print(QStringLiteral("wrote %1 (%2x%3)\n").arg(output).arg(width).arg(height));
    return status;
}

// "name-001.png" for the first of several pages of "name.png"; one page keeps the name as given.
QString page_path(const QString &output, int page, int pages)
{
    if (pages == 1)
        return output;
    const QFileInfo info(output);
    const QString number = QStringLiteral("-%1").arg(page + 1, 3, 10, QLatin1Char('0'));
    const QString base = info.completeBaseName() + number
        + (info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix());
    return info.path() == QLatin1String(".") && !output.startsWith(QLatin1String("./"))
        ? base
        : info.path() + QLatin1Char('/') + base;
}

// Progress on a terminal only: a log file or a pipe gets the "wrote" lines alone.
class Progress
{
public:
    explicit Progress(int pages)
        : pages(pages)
        , shown(pages > 1 && isatty(fileno(stderr)))
    { }
    ~Progress()
    {
        if (shown)
            std::fputs("\n", stderr);
    }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void at(int page) const
    {
        if (shown)
            std::fprintf(stderr, "\rkesu-presets: drawing page %d of %d", page + 1, pages);
    }

private:
    const int pages;
    const bool shown;
};

// The gallery's presets in their order: by group, then by name.
std::vector<PresetEntry> in_gallery_order(std::vector<PresetEntry> entries)
{
    std::vector<std::pair<QString, std::size_t>> order;
    for (std::size_t i = 0; i < entries.size(); ++i)
        order.emplace_back(entries[i].group(), i);
    std::stable_sort(order.begin(), order.end(), [](const auto &a, const auto &b) {
        return a.first.compare(b.first, Qt::CaseInsensitive) < 0;
    });
    std::vector<PresetEntry> sorted;
    sorted.reserve(entries.size());
    for (const auto &[group, i] : order)
        sorted.push_back(std::move(entries[i]));
    return sorted;
}

QString gallery_title(const std::vector<PresetEntry> &entries, const Selection &selection)
{
    const auto user =
        std::count_if(entries.begin(), entries.end(), [](const PresetEntry &e) { return e.user; });
    QString title = QStringLiteral("%1 presets: %2 shipped, %3 the user's")
                        .arg(entries.size())
                        .arg(qint64(entries.size()) - user)
                        .arg(user);
    if (!selection.group.isEmpty())
        title += QStringLiteral(", group ") + quoted(selection.group);
    if (!selection.match.isEmpty())
        title += QStringLiteral(", names with ") + quoted(selection.match);
    return title;
}

// One row of the gallery; a preset the library cannot use shows why in place of its curve.
PresetPicture picture_of(const Store &store, const PresetEntry &entry, int &status)
{
    const Reading reading = store.read(entry.name, entry.value);
    PresetPicture picture;
    if (reading.model && reading.usable)
        picture = PresetPicture::of(*reading.model, entry.source());
    if (!reading.usable) {
        report_findings(reading);
        status = failure;
        picture.detail = QStringLiteral("cannot be used: ") + reading.findings.back().what();
        picture.source = entry.source();
    }
    // The row is labelled with the name it is listed under.
    picture.name = entry.name;
    return picture;
}

// Writes each page while the next is drawn: encoding a page takes about as long as drawing it.
class PageWriter
{
public:
    PageWriter(const QByteArray &format)
        : format(format)
    { }
    ~PageWriter() { finish(); }
    PageWriter(const PageWriter &) = delete;
    PageWriter &operator=(const PageWriter &) = delete;

    // Failure when the page before did not reach its file.
    int write(QImage page, const QString &file, int presets)
    {
        const int status = finish();
        pending = std::async(std::launch::async, [this, page = std::move(page), file] {
            return write_picture(page, format, file);
        });
        written = {file, presets};
        return status;
    }

    int finish()
    {
        if (!pending.valid())
            return success;
        const int status = pending.get();
        if (status == success && written.first != QLatin1String("-"))
            print(QStringLiteral("wrote %1: %2 presets\n").arg(written.first).arg(written.second));
        return status;
    }

private:
    const QByteArray format;
    std::future<int> pending;
    std::pair<QString, int> written;
};

int draw_pages(const Store &store, const std::vector<PresetEntry> &entries, const QString &title,
               const Invocation &invocation, const QByteArray &format, int width, int per_page)
{
    const QString output = invocation.parser.value(QStringLiteral("output"));
    const int pages = int((entries.size() + std::size_t(per_page) - 1) / std::size_t(per_page));
    if (output == QLatin1String("-") && pages > 1)
        return report_error(usage_error,
                            QStringLiteral("%1 pages cannot all go to standard output; give a "
                                           "file name or a larger --per-page")
                                .arg(pages));
    int status = success;
    const Progress progress(pages);
    PageWriter writer(format);
    for (int page = 0; page < pages; ++page) {
        progress.at(page);
        QVector<PresetPicture> pictures;
        const std::size_t first = std::size_t(page) * std::size_t(per_page);
        for (std::size_t i = first; i < std::min(entries.size(), first + std::size_t(per_page));
             ++i)
            pictures.append(picture_of(store, entries[i], status));
        const QString page_title = pages == 1
            ? title
            : title + QStringLiteral(" · page %1 of %2").arg(page + 1).arg(pages);
        if (writer.write(render_gallery(pictures, page_title, width),
                         page_path(output, page, pages), int(pictures.size()))
            != success)
            return failure;
    }
    return writer.finish() == success ? status : failure;
}

int run_gallery(const Invocation &invocation)
{
    const QCommandLineParser &parser = invocation.parser;
    QString output;
    QByteArray format;
    int width = 1000;
    int per_page = 40;
    if (!picture_output(invocation, output, format)
        || !parse_count(parser, "width", 400, largest_side, width)
        || !parse_count(parser, "per-page", 1, largest_side, per_page))
        return usage_error;
    if (gallery_height(per_page) > largest_picture_side)
        return report_error(usage_error,
                            QStringLiteral("--per-page %1 makes pictures %2 pixels high, more "
                                           "than the %3 a picture can have")
                                .arg(per_page)
                                .arg(gallery_height(per_page))
                                .arg(largest_picture_side));
    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
    const Selection selection = Selection::of(parser);
    const std::vector<PresetEntry> entries = in_gallery_order(selection.from(store->presets()));
    if (entries.empty())
        return report_error(failure, QStringLiteral("no presets to draw"));
    return draw_pages(*store, entries, gallery_title(entries, selection), invocation, format, width,
                      per_page);
}

void add_picture_output(QCommandLineParser &parser)
{
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                      QStringLiteral("The picture to write, in the format of its extension (PNG "
                                     "without one); \"-\" writes PNG to standard output."),
                      QStringLiteral("FILE")});
}

void render_options(QCommandLineParser &parser)
{
    add_picture_output(parser);
    parser.addOption({QStringLiteral("size"),
                      QStringLiteral("Picture size in pixels (default 800x360)."),
                      QStringLiteral("WxH")});
    parser.addOption({QStringLiteral("window"),
                      QStringLiteral("Sets the window first, as the viewer does: generated "
                                     "points are computed for it, a preset's own points are "
                                     "spread over it."),
                      QStringLiteral("W,L")});
    parser.addOption({QStringLiteral("fallback"),
                      QStringLiteral("For a name that no preset has, draws \"Standard\", which "
                                     "the viewer loads in its stead.")});
    parser.addOption({QStringLiteral("table"),
                      QStringLiteral("Draws the colour tables NAME... instead, one strip each, "
                                     "as the library reads them.")});
}

void gallery_options(QCommandLineParser &parser)
{
    add_picture_output(parser);
    parser.addOption({QStringLiteral("width"),
                      QStringLiteral("Picture width in pixels (default 1000)."),
                      QStringLiteral("PIXELS")});
    parser.addOption({QStringLiteral("per-page"),
                      QStringLiteral("Presets on one picture (default 40); more make several, "
                                     "FILE-001.png, FILE-002.png ..."),
                      QStringLiteral("N")});
    Selection::add_options(parser);
}

} // namespace

const Command render_command{
    "render",
    "NAME -o FILE [--size WxH] [--window W,L] [--fallback] | --table NAME... -o FILE",
    "Draws the transfer function of a preset: the opacity curve filled with its colours, the "
    "colours over a checkerboard as opaque as the preset makes them, and the value axis in data "
    "units with the window marked. With --table, draws colour tables as strips.",
    render_options,
    run_render,
    1,
    false,
    true};

const Command gallery_command{
    "gallery",
    "-o FILE [--width PIXELS] [--per-page N] [--group G] [--match TEXT]",
    "Draws every preset, a labelled row each, grouped, on pages of --per-page presets.",
    gallery_options,
    run_gallery,
    0};

} // namespace kesu::presets
