#include "transferfunction/model.h"
#include "transferfunction/presetschema.h"

#include "application/configuration.h"

#include <QJsonObject>
#include <QThread>

#include <memory>

namespace korvel::transferfunction {

namespace {

using application::preset;
using application::impl::Configuration;

std::string standard_path()
{
    return schema::preset_path(schema::Document::shipped, schema::standard_name);
}

// Disposes of a model whose first load failed. It already lives in the application's thread,
// where it may be handling its first change notification, so from another thread it is handed
// over to that thread's event loop instead of being deleted at once.
struct DiscardModel
{
    void operator()(Model *model) const
    {
        if (model->thread() == QThread::currentThread())
            delete model;
        else
            model->deleteLater();
    }
};

} // namespace

Model *Model::create(bool last_preset)
{
    // A range violation in the first preset leaves with the exception, and the model with it.
    std::unique_ptr<Model, DiscardModel> model(new Model(nullptr));
    if (!last_preset) {
        model->load(schema::standard_name);
        return model.release();
    }
    // The record's handle stays open while the model loads: the store's lock outside the model's.
    const Configuration record = preset(schema::last_preset_path);
    // A recorded name with "/" finds nothing, as any missing preset; the user is told once.
    const std::string name = record ? schema::recorded_name(record.get()) : schema::standard_name;
    schema::refuses_preset_name(name, "found");
    model->load(name);
    return model.release();
}

void Model::load(std::string const &name)
{
    load(schema::find_preset(name).value.toObject());
    // Read only now: when name is this model's own description (reset), the record carries the
    // description of the preset just loaded.
    preset(schema::last_preset_path).set(schema::last_preset_record(name));
}

// The name is copied under the lock: another thread may load a preset meanwhile.
void Model::reset()
{
    if (modified.load())
        load(get_description());
}

bool Model::remove()
{
    std::unique_lock<std::mutex> lock(mutex);
    const std::string name = description;
    if (read_only || schema::refuses_preset_name(name, "removed"))
        return false;
    lock.unlock();
    {
        Configuration record = preset(schema::last_preset_path);
        if (record && schema::recorded_name(record.get()) == name)
            record.drop();
    }
    preset(schema::preset_path(schema::Document::user, name)).drop();
    clear();
    // The handle is gone before load takes the model's lock.
    const QJsonObject standard = preset(standard_path()).get().toObject();
    load(standard);
    return true;
}

} // namespace korvel::transferfunction
