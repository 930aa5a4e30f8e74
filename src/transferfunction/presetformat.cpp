#include "transferfunction/model.h"
#include "transferfunction/model_p.h"
#include "transferfunction/presetschema.h"

#include "application/configuration.h"

#include <QJsonObject>

namespace korvel::transferfunction {

namespace {

// Each value goes through a handle of its own, released before the next is built. False when
// the store refused the value.
bool store(const std::string &path, const QJsonObject &value)
{
    application::preset(path).set(value);
    return application::preset(path).get() == value;
}

// The stored colour table that loading the preset will generate its points from, read before
// the model's lock is taken; empty when the preset brings points of its own or a built-in table,
// or is not read to its end.
QJsonObject table_for(const schema::Decoded &decoded)
{
    const schema::Preset &preset = decoded.preset;
    const bool read_to_end = decoded.problems.empty()
        || decoded.problems.back().kind != schema::Problem::Kind::range_violation;
    if (!read_to_end || preset.custom_opacity || schema::is_built_in_clut(preset.clut))
        return {};
    return schema::read_stored_clut(preset.clut);
}

} // namespace

void Model::load(QJsonObject const &object)
{
    if (object.isEmpty())
        return;
    schema::Decoded decoded = schema::decode(object);
    const QJsonObject table = table_for(decoded);
    clear();
    std::unique_lock<std::mutex> lock(mutex);
    schema::Preset &preset = decoded.preset;
    points = std::move(preset.points);
    custom_opacity = preset.custom_opacity;
    background_color = preset.background_color;
    blend_mode = preset.blend_mode;
    category = std::move(preset.category);
    shade = preset.shade;
    ambient = preset.ambient;
    diffuse = preset.diffuse;
    specular = preset.specular;
    specular_power = preset.specular_power;
    // Taken as read: a preset read from the store keeps its read_only flag.
    description = std::move(preset.description);
    window_width = preset.window_width;
    window_level = preset.window_level;
    read_only = preset.read_only;
    opacity_table = std::move(preset.opacity_table);
    clut = std::move(preset.clut);
    convolution_filter = std::move(preset.convolution_filter);
    // In reading order; a range violation comes last and leaves with the members read before it.
    for (const schema::Problem &problem : decoded.problems)
        schema::report(problem);

    if (!custom_opacity)
        generate_points(*d, clut, table, opacity_table, window_width, window_level, points);
    modified.store(false);
    lock.unlock();
    Q_EMIT reload();
    Q_EMIT filter_changed();
}

// The preset object is built under the model's lock and stored after it is released: the store's
// lock is never taken inside a model's.
bool Model::save()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (read_only || schema::refuses_preset_name(description, "saved"))
        return false;
    // Generated points are not stored, so not copied either.
    const schema::Preset preset{custom_opacity ? points : std::vector<Point>(),
                                custom_opacity,
                                background_color,
                                blend_mode,
                                category,
                                shade,
                                ambient,
                                diffuse,
                                specular,
                                specular_power,
                                description,
                                window_width,
                                window_level,
                                read_only,
                                opacity_table,
                                clut,
                                convolution_filter};
    lock.unlock();

    if (!store(schema::preset_path(schema::Document::user, preset.description),
               schema::encode(preset)))
        return false;
    store(schema::last_preset_path, schema::last_preset_record(preset.description));
    return true;
}

} // namespace korvel::transferfunction
