// Sequences of calls on a transfer-function model with arbitrary arguments: every float and
// double bit pattern, names with "/", spaces and newlines. After each call: it returned (a hang
// is a finding), points and window are finite, a preset of its own points read by name or object
// has them in order and a window of positive width keeps them so, a saved preset of its own points
// reads back to the same fields, the user document is still JSON, and no other preset changed.
#include "fuzzcommon.h"

#include <application/configuration.h>
#include <application/manager.h>
#include <transferfunction/model.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

using korvel::application::preset;
using korvel::application::impl::Manager;
using korvel::transferfunction::BlendMode;
using korvel::transferfunction::Model;

namespace {

const char *const presets_path = "user/rendering/dvr/preset";

QJsonArray grey_channel()
{
    QJsonArray channel;
    for (int i = 0; i < 256; ++i)
        channel.append(i);
    return channel;
}

QJsonObject point(double x, double y)
{
    return {{QStringLiteral("x"), x},        {QStringLiteral("y"), y},
            {QStringLiteral("r"), 1},        {QStringLiteral("g"), 0.5},
            {QStringLiteral("b"), 0},        {QStringLiteral("midpoint"), 0.5},
            {QStringLiteral("sharpness"), 0}};
}

// "Standard" and "Stored" generated (from a built-in and from a stored table), "CT Bone" with
// points of its own.
QByteArray shipped()
{
    const auto generated = [](const char *clut) {
        return QJsonObject{{QStringLiteral("window"), QJsonArray{400, 40}},
                           {QStringLiteral("clut"), QLatin1String(clut)},
                           {QStringLiteral("opacity"), QStringLiteral("Linear Table")},
                           {QStringLiteral("read_only"), true}};
    };
    QJsonObject bone = generated("No CLUT");
    bone.insert(QStringLiteral("points"),
                QJsonArray{point(-100, 0), point(300, 0.5), point(1500, 1)});
    const QJsonObject presets{{QStringLiteral("Standard"), generated("No CLUT")},
                              {QStringLiteral("Stored"), generated("Grey")},
                              {QStringLiteral("CT Bone"), bone}};
    const QJsonObject grey{{QStringLiteral("red"), grey_channel()},
                           {QStringLiteral("green"), grey_channel()},
                           {QStringLiteral("blue"), grey_channel()}};
    const QJsonObject rendering{
        {QStringLiteral("dvr"), QJsonObject{{QStringLiteral("preset"), presets}}},
        {QStringLiteral("clut"),
         QJsonObject{{QStringLiteral("preset"), QJsonObject{{QStringLiteral("Grey"), grey}}}}}};
    return QJsonDocument(QJsonObject{{QStringLiteral("rendering"), rendering}}).toJson();
}

// One manager for the run; each input starts with no user presets.
void start_store()
{
    static Manager *manager = [] {
        const QString global_file = kesu::fuzz::scratch_folder() + QStringLiteral("/shipped.json");
        QFile global(global_file);
        global.open(QIODevice::WriteOnly);
        global.write(shipped());
        global.close();
        return new Manager(kesu::fuzz::scratch_folder() + QStringLiteral("/presets.json"),
                           global_file);
    }();
    Q_UNUSED(manager)
    preset("user/rendering").drop();
}

using kesu::fuzz::Input;

// A name of the shipped or the user's presets, or one of up to eight characters from an alphabet
// with the troublesome ones ("/", spaces, a newline, a two-byte letter).
std::string name(Input &in)
{
    static const char *const known[] = {"Standard", "CT Bone", "Stored", "Mine", ""};
    const std::uint8_t pick = in.next();
    if (pick < 5 * 32)
        return known[pick % 5];
    static const char *const letters[] = {"a", "B", "/", " ", "\n", "\xc3\xa9", "0", "."};
    std::string text;
    for (int length = in.next() % 9; length > 0; --length)
        text += letters[in.next() % 8];
    return text;
}

bool finite_state(const Model &model)
{
    const auto [width, level] = model.window_width_level();
    if (!std::isfinite(width) || !std::isfinite(level))
        return false;
    for (const Model::Point &p : model.get_points())
        for (double value : {p.x, p.y, p.r, p.g, p.b, p.midpoint, p.sharpness})
            if (!std::isfinite(value))
                return false;
    return true;
}

// The coefficients accept a NaN by contract, and the background colour any number; JSON holds
// neither NaN nor infinity, so such a preset is saved with nulls and cannot read back the same.
bool json_numbers(const Model &model)
{
    const std::array<double, 3> background = model.get_background_color();
    for (double value : {model.get_ambient(), model.get_diffuse(), model.get_specular(),
                         model.get_specular_power(), background[0], background[1], background[2]})
        if (!std::isfinite(value))
            return false;
    return true;
}

bool sorted(const Model &model)
{
    const std::vector<Model::Point> points = model.get_points();
    return std::is_sorted(points.begin(), points.end(),
                          [](const Model::Point &a, const Model::Point &b) { return a.x < b.x; });
}

QJsonObject user_presets()
{
    return preset(presets_path).get().toObject();
}

// Every user preset but the one named is as it was.
void check_others_unchanged(const QJsonObject &before, const std::string &name)
{
    const QJsonObject after = user_presets();
    QStringList names = before.keys() + after.keys();
    names.removeDuplicates();
    for (const QString &other : names)
        if (other != QString::fromStdString(name))
            FUZZ_CHECK(before.value(other) == after.value(other));
}

std::vector<Model::Point> points(Input &in)
{
    std::vector<Model::Point> made(in.next() % 5);
    for (Model::Point &p : made)
        p = {in.bits<double>(), in.bits<double>(), in.bits<double>(), in.bits<double>(),
             in.bits<double>(), in.bits<double>(), in.bits<double>()};
    return made;
}

QJsonObject preset_object(Input &in)
{
    static const char *const cluts[] = {"No CLUT", "Endoscopy", "Grey", "Missing"};
    static const char *const kinds[] = {"Linear Table", "Logarithmic Table",
                                        "Logarithmic Inverse Table", "Smooth Table"};
    QJsonObject object{{QStringLiteral("window"), QJsonArray{in.bits<float>(), in.bits<float>()}},
                       {QStringLiteral("clut"), QLatin1String(cluts[in.next() % 4])},
                       {QStringLiteral("opacity"), QLatin1String(kinds[in.next() % 4])}};
    if (in.next() % 2) {
        QJsonArray array;
        for (int n = in.next() % 4; n > 0; --n)
            array.append(point(in.bits<double>(), in.bits<double>()));
        object.insert(QStringLiteral("points"), array);
    }
    return object;
}

void set_coefficient(Model &model, Input &in)
{
    const std::uint8_t which = in.next() % 4;
    const double value = in.bits<double>();
    try {
        if (which == 0)
            model.set_ambient(value);
        else if (which == 1)
            model.set_diffuse(value);
        else if (which == 2)
            model.set_specular(value);
        else
            model.set_specular_power(value);
    } catch (const std::out_of_range &) { }
}

void set_other(Model &model, Input &in)
{
    switch (in.next() % 5) {
    case 0:
        model.set_shade(in.next() % 2);
        break;
    case 1:
        model.set_blend_mode(BlendMode(in.bits<std::uint16_t>()));
        break;
    case 2:
        model.set_background_color({in.bits<double>(), in.bits<double>(), in.bits<double>()});
        break;
    case 3:
        model.set_category(name(in));
        break;
    default:
        model.set_description(name(in));
    }
}

// save() stores the model under its name, or refuses a read-only preset or a name with "/".
void save(Model &model)
{
    const std::string name = model.get_description();
    const QJsonObject before = user_presets();
    const bool read_only = model.is_read_only();
    if (!model.save()) {
        FUZZ_CHECK(read_only || name.find('/') != std::string::npos);
        FUZZ_CHECK(user_presets() == before);
        return;
    }
    check_others_unchanged(before, name);
    const QJsonValue stored = preset(std::string(presets_path) + "/" + name).get();
    FUZZ_CHECK(stored.isObject());
    // An empty "points" array reads as a preset without points of its own.
    if (model.is_custom_opacity() && !model.get_points().empty() && sorted(model)
        && json_numbers(model)) {
        Model reread;
        reread.load(stored.toObject());
        kesu::fuzz::check_same_fields(model, reread);
    }
}

// True when the preset was removed and "Standard" read in its place.
bool remove(Model &model)
{
    const std::string name = model.get_description();
    const QJsonObject before = user_presets();
    const bool removed = model.remove();
    if (removed)
        check_others_unchanged(before, name);
    else
        FUZZ_CHECK(user_presets() == before);
    return removed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    kesu::fuzz::prepare();
    start_store();
    Model model;
    Input in(data, size);
    for (int step = 0; step < 48 && !in.empty(); ++step) {
        const std::uint8_t op = in.next() % 10;
        bool read_a_preset = false;
        kesu::fuzz::watch("model operation");
        switch (op) {
        case 0: {
            const float width = in.bits<float>(), level = in.bits<float>();
            const bool in_order = sorted(model);
            model.set_window(width, level);
            if (in_order && width > 0 && model.is_custom_opacity())
                FUZZ_CHECK(sorted(model));
            break;
        }
        case 1:
            model.set_points(points(in));
            break;
        case 2:
            set_coefficient(model, in);
            break;
        case 3:
            set_other(model, in);
            break;
        case 4:
            model.load(name(in));
            read_a_preset = true;
            break;
        case 5:
            try {
                model.load(preset_object(in));
            } catch (const std::out_of_range &) { }
            read_a_preset = true;
            break;
        case 6:
            save(model);
            break;
        case 7:
            model.reset();
            read_a_preset = true;
            break;
        case 8:
            read_a_preset = remove(model);
            break;
        default:
            model.clear();
        }
        FUZZ_CHECK(finite_state(model));
        // Generated points run backwards under a negative width, as they are meant to.
        if (read_a_preset && model.is_custom_opacity())
            FUZZ_CHECK(sorted(model));
        const QByteArray json =
            QJsonDocument(preset("user/rendering").get().toObject()).toJson(QJsonDocument::Compact);
        FUZZ_CHECK(QJsonDocument::fromJson(json).isObject());
    }
    kesu::fuzz::watch(nullptr);
    return 0;
}
