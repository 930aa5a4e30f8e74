// The subcommands that draw presets: render and gallery.

#include "commandline.h"
#include "renderer.h"
#include "store.h"
#include "warnings.h"

#include <QFileInfo>
#include <QImageWriter>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace kesu::presets {

namespace {

using korvel::transferfunction::Model;

constexpr int smallest_side = 120;
constexpr int largest_side = 4000;

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

int save_image(const QImage &image, const QString &file)
{
    QImageWriter writer(file, "png");
    if (!writer.write(image))
        return report_error(failure,
                            QStringLiteral("cannot write %1: %2").arg(file, writer.errorString()));
    return success;
}

QString output_of(const Invocation &invocation)
{
    return invocation.parser.value(QStringLiteral("output"));
}

int run_render(const Invocation &invocation)
{
    const QString output = output_of(invocation);
    if (output.isEmpty())
        return report_error(usage_error, QStringLiteral("render needs -o FILE.png"));
    int width = 800;
    int height = 360;
    if (invocation.parser.isSet(QStringLiteral("size"))
        && !parse_size(invocation.parser.value(QStringLiteral("size")), width, height))
        return report_error(usage_error,
                            QStringLiteral("--size takes WIDTHxHEIGHT, each from %1 to %2 pixels")
                                .arg(smallest_side)
                                .arg(largest_side));
    float window_width = 0.0f;
    float window_level = 0.0f;
    const bool windowed = invocation.parser.isSet(QStringLiteral("window"));
    if (windowed
        && !parse_window(invocation.parser.value(QStringLiteral("window")), window_width,
                         window_level))
        return report_error(usage_error,
                            QStringLiteral("--window takes WIDTH,LEVEL with a positive width"));

    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
    const QString name = invocation.arguments.first();
    const auto model = store->load(name);
    if (!model)
        return failure;
    if (windowed) {
        WarningContext context(QStringLiteral("preset ") + quoted(name));
        model->set_window(window_width, window_level);
    }
    const QImage image = render_preset(PresetPicture::of(*model, {}), width, height);
    status = save_image(image, output);
    if (status == success)
        print(QStringLiteral("wrote %1 (%2x%3)\n").arg(output).arg(width).arg(height));
    return status;
}

int run_gallery(const Invocation &invocation)
{
    const QString output = output_of(invocation);
    if (output.isEmpty())
        return report_error(usage_error, QStringLiteral("gallery needs -o FILE.png"));
    int width = 1000;
    if (invocation.parser.isSet(QStringLiteral("width"))) {
        bool ok = false;
        width = invocation.parser.value(QStringLiteral("width")).toInt(&ok);
        if (!ok || width < 400 || width > largest_side)
            return report_error(usage_error,
                                QStringLiteral("--width takes a number of pixels from 400 to %1")
                                    .arg(largest_side));
    }

    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
    QVector<PresetPicture> pictures;
    for (const PresetEntry &entry : store->presets()) {
        const auto model = store->load(entry.name);
        if (!model) {
            status = failure;
            continue;
        }
        PresetPicture picture = PresetPicture::of(*model, entry.source());
        // The row is labelled with the name it is listed under.
        picture.name = entry.name;
        pictures.append(picture);
    }
    std::stable_sort(pictures.begin(), pictures.end(),
                     [](const PresetPicture &a, const PresetPicture &b) {
                         return a.group.compare(b.group, Qt::CaseInsensitive) < 0;
                     });
    const QString title = QStringLiteral("%1 presets from %2")
                              .arg(pictures.size())
                              .arg(QFileInfo(invocation.files.global).fileName());
    const QImage image = render_gallery(pictures, title, width);
    if (image.isNull())
        return report_error(
            failure,
            QStringLiteral("%1 presets are too many for one picture").arg(pictures.size()));
    const int saved = save_image(image, output);
    if (saved != success)
        return saved;
    print(QStringLiteral("wrote %1: %2 presets\n").arg(output).arg(pictures.size()));
    return status;
}

void add_png_output(QCommandLineParser &parser)
{
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                      QStringLiteral("The PNG file to write."),
                      QStringLiteral("FILE.png")});
}

void render_options(QCommandLineParser &parser)
{
    add_png_output(parser);
    parser.addOption({QStringLiteral("size"),
                      QStringLiteral("Picture size in pixels (default 800x360)."),
                      QStringLiteral("WxH")});
    parser.addOption({QStringLiteral("window"),
                      QStringLiteral("Sets the window first, as the viewer does: generated "
                                     "points are computed for it, a preset's own points are "
                                     "spread over it."),
                      QStringLiteral("W,L")});
}

void gallery_options(QCommandLineParser &parser)
{
    add_png_output(parser);
    parser.addOption({QStringLiteral("width"),
                      QStringLiteral("Picture width in pixels (default 1000)."),
                      QStringLiteral("PIXELS")});
}

} // namespace

const Command render_command{
    "render",
    "NAME -o FILE.png [--size WxH] [--window W,L]",
    "Draws the transfer function of a preset: the opacity curve filled with its colours, the "
    "colours over a checkerboard as opaque as the preset makes them, and the value axis in data "
    "units with the window marked.",
    render_options,
    run_render,
    1};

const Command gallery_command{"gallery",
                              "-o FILE.png [--width PIXELS]",
                              "Draws every preset in one picture, a labelled row each, grouped.",
                              gallery_options,
                              run_gallery,
                              0};

} // namespace kesu::presets
