#pragma once

// The one definition of the preset object and of the places presets are stored, shared by the
// model and by the tools built with the library: the member names, the cleared values, the
// bounds, the store paths, the encoding of points and presets, and the texts of the warnings
// about them. A tool learns about a preset's problems from the structured results here, never
// from the text of a warning. Not installed.

#include "transferfunction/model.h"

#include <kesupluginmanager_export.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace korvel::transferfunction::schema {

// The members of a preset object; "color" lies inside "background", "convolution" inside
// "filters".
namespace member {
inline constexpr char points[] = "points";
inline constexpr char background[] = "background";
inline constexpr char color[] = "color";
inline constexpr char blend_mode[] = "blend_mode";
inline constexpr char group[] = "group";
inline constexpr char shade[] = "shade";
inline constexpr char ambient[] = "ambient";
inline constexpr char diffuse[] = "diffuse";
inline constexpr char specular[] = "specular";
inline constexpr char specular_power[] = "specular_power";
inline constexpr char description[] = "description";
inline constexpr char window[] = "window";
inline constexpr char read_only[] = "read_only";
inline constexpr char opacity[] = "opacity";
inline constexpr char clut[] = "clut";
inline constexpr char filters[] = "filters";
inline constexpr char convolution[] = "convolution";
} // namespace member

// A member of a point object and the field of a Point it holds, in the order of Point.
struct PointMember
{
    const char *key;
    double point::Point::*field;
};
inline constexpr std::array<PointMember, 7> point_members{
    {{"x", &point::Point::x},
     {"y", &point::Point::y},
     {"r", &point::Point::r},
     {"g", &point::Point::g},
     {"b", &point::Point::b},
     {"midpoint", &point::Point::midpoint},
     {"sharpness", &point::Point::sharpness}}};

// The channels of a stored colour table, in the order they are read.
inline constexpr std::array<const char *, 3> channels{"red", "green", "blue"};
// Entries of every channel and of every generated curve.
inline constexpr std::size_t table_size = 256;
// The highest entry of a channel; the lowest is 0, and entries are whole numbers.
inline constexpr double highest_table_entry = 255.0;

// The highest ambient, diffuse and specular coefficient, and the highest specular power; the
// lowest of each is 0.
inline constexpr double highest_coefficient = 4.0;
inline constexpr double highest_specular_power = 256.0;

// Not part of a preset, but cleared with it.
inline constexpr std::size_t cleared_histogram_bins = 1024;

// The preset fields of a model as a preset object carries them; as constructed, the cleared
// state.
struct Preset
{
    std::vector<point::Point> points;
    // The points are the preset's own, not generated from the colour table and opacity kind.
    bool custom_opacity = false;
    std::array<double, 3> background_color{0.0, 249.0, 255.0};
    BlendMode blend_mode{0};
    std::string category;
    bool shade = true;
    double ambient = 0.15;
    double diffuse = 0.3;
    double specular = 0.9;
    double specular_power = 15.0;
    std::string description;
    float window_width = 0.0f;
    float window_level = 0.0f;
    bool read_only = false;
    std::string opacity_table;
    std::string clut;
    std::string convolution_filter;
};

// Something the model reports while it reads a preset or generates its points.
struct Problem
{
    enum class Kind {
        missing_member,
        range_violation,
        non_finite_point,
        non_finite_window,
        clut_not_found,
        unsupported_table_size,
        // A member of another JSON type or shape than the format's, read as a neutral value;
        // found only when every member is read.
        wrong_type,
    };
    Kind kind;
    // "ambient", "background/color" for a member inside another, "red" for a channel of a colour
    // table; empty for the object as a whole.
    QString member;
    // The coefficient read, or the length of a channel (-1 when it is missing).
    double value = 0.0;
    // The highest value the coefficient may take.
    double highest = 0.0;
    // The place of the point in its array.
    std::size_t index = 0;
    // The window read, as a float.
    float width = 0.0f;
    float level = 0.0f;
    // What a member of the wrong type should hold, e.g. "a string".
    QString expected{};
};

// The text the library reports the problem with.
KESUPLUGINMANAGER_EXPORT QString text(const Problem &problem);
// Reports the problem as the model does: a warning, or for a range violation the exception
// std::out_of_range("range violation").
KESUPLUGINMANAGER_EXPORT void report(const Problem &problem);
// Throws std::out_of_range("range violation") for a value below 0 or above highest. A NaN is
// neither and passes, like the bounds themselves.
KESUPLUGINMANAGER_EXPORT void check_range(double value, double highest);

// False, with a warning naming it, for a point with a member that is not finite.
KESUPLUGINMANAGER_EXPORT bool is_finite_point(const point::Point &point, std::size_t index);
// False, with a warning naming it, for a window that is not finite.
KESUPLUGINMANAGER_EXPORT bool is_finite_window(float width, float level);

enum class Reading {
    // As the model reads: the problems up to the first range violation, which ends the reading
    // and is the last problem; the members after it keep their cleared values.
    as_the_model,
    // Every member, and every problem in reading order, members of the wrong type included.
    every_member,
};

struct Decoded
{
    Preset preset;
    // In reading order. A preset without members has none, and is not read by the model.
    std::vector<Problem> problems;
};

// A preset object read member by member; a member of another type reads as the neutral value of
// the expected one.
KESUPLUGINMANAGER_EXPORT Decoded decode(const QJsonObject &object,
                                        Reading reading = Reading::as_the_model);
// Every member, "points" only for points of the preset's own.
KESUPLUGINMANAGER_EXPORT QJsonObject encode(const Preset &preset);
// A missing member, and an element that is not an object, reads as 0 (the midpoint too).
KESUPLUGINMANAGER_EXPORT point::Point decode_point(const QJsonValue &value);
KESUPLUGINMANAGER_EXPORT QJsonObject encode_point(const point::Point &point);
// The preset fields the model holds, each read through its accessor.
KESUPLUGINMANAGER_EXPORT Preset preset_of(const Model &model);
// True for an object with one of the members of a preset object.
KESUPLUGINMANAGER_EXPORT bool is_preset_object(const QJsonObject &object);

// The colour tables that are computed, not read from the store: a grey ramp and the colours of
// endoscopy.
inline constexpr char grey_clut[] = "No CLUT";
inline constexpr char endoscopy_clut[] = "Endoscopy";
KESUPLUGINMANAGER_EXPORT bool is_built_in_clut(const std::string &clut);
// A stored colour table's channel on the 0..1 scale; 0 for an entry that is not a number, and
// values beyond the scale are kept.
KESUPLUGINMANAGER_EXPORT std::vector<double> to_color_vector(const QJsonArray &array);
// Why a stored colour table cannot be used: "clut preset not found" for an empty one, else
// one problem for each channel that is missing or not table_size long.
KESUPLUGINMANAGER_EXPORT std::vector<Problem> table_problems(const QJsonObject &table);

// The name of the standard preset, which stands in for every preset that is found nowhere.
inline constexpr char standard_name[] = "Standard";
// The folders inside a presets file, and so below "user/" and "global/" in the store.
inline constexpr char presets_folder[] = "rendering/dvr/preset";
inline constexpr char colour_tables_folder[] = "rendering/clut/preset";
// The last-preset record, whose "key" names the preset last loaded by name or saved.
inline constexpr char last_preset_path[] = "user/rendering/dvr/last/preset";

enum class Document { user, shipped };

// The store path of the presets folder of a document, and of the preset called name in it.
KESUPLUGINMANAGER_EXPORT std::string presets_path(Document document);
KESUPLUGINMANAGER_EXPORT std::string preset_path(Document document, const std::string &name);
// The store path of the colour tables folder of a document, and of the table called name in it.
KESUPLUGINMANAGER_EXPORT std::string colour_tables_path(Document document);
KESUPLUGINMANAGER_EXPORT std::string colour_table_path(Document document, const std::string &name);
// The stored colour table called clut: the user's, when they stored one under that name, else the
// shipped one, else an empty object. Each is read through a handle of its own.
KESUPLUGINMANAGER_EXPORT QJsonObject read_stored_clut(const std::string &clut);

KESUPLUGINMANAGER_EXPORT QJsonObject last_preset_record(const std::string &name);
// The name in a last-preset record; a record without a string "key" names the empty preset.
KESUPLUGINMANAGER_EXPORT std::string recorded_name(const QJsonValue &record);

// A name with "/" addresses a place inside another preset: it names no preset of its own.
KESUPLUGINMANAGER_EXPORT bool is_nested_name(const std::string &name);
// True, with a warning naming it and what is not done ("saved"), for a name with "/".
KESUPLUGINMANAGER_EXPORT bool refuses_preset_name(const std::string &name, const char *action);

// What loading a preset by name reads, and from where.
struct Found
{
    QJsonValue value;
    // Empty when not even the standard preset exists.
    std::string path;
    // The standard preset stands in for the name.
    bool fallback = false;
};
// The user's copy, else the shipped preset, else the standard one. The handles nest and are all
// released on return, the innermost first.
KESUPLUGINMANAGER_EXPORT Found find_preset(const std::string &name);

// The presets and the colour tables of a presets file (a document of the store).
KESUPLUGINMANAGER_EXPORT QJsonObject presets_of(const QJsonObject &document);
KESUPLUGINMANAGER_EXPORT QJsonObject colour_tables_of(const QJsonObject &document);
KESUPLUGINMANAGER_EXPORT QJsonObject with_colour_tables(QJsonObject document,
                                                        const QJsonObject &tables);
// A presets file holding the one preset; a name with "/" nests, as the store nests it.
KESUPLUGINMANAGER_EXPORT QJsonObject document_with_preset(const QString &name,
                                                          const QJsonObject &preset);
// The presets of a presets folder by name; a folder of names with "/" (an object holding no
// member of a preset) is searched too, and its presets named with their path.
KESUPLUGINMANAGER_EXPORT QMap<QString, QJsonValue> presets_by_name(const QJsonObject &folder);

} // namespace korvel::transferfunction::schema
