#include "transferfunction/model.h"
#include "transferfunction/model_p.h"

#include "application/configuration.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QLatin1String>
#include <QString>
#include <QThread>

#include <memory>

namespace korvel::transferfunction {

namespace {

using application::preset;
using application::impl::Configuration;

const std::string user_preset_path = "user/rendering/dvr/preset/";
const std::string shipped_preset_path = "global/rendering/dvr/preset/";
const std::string standard_preset_path = "global/rendering/dvr/preset/Standard";
const std::string last_preset_path = "user/rendering/dvr/last/preset";
const std::string standard_name = "Standard";

// The name in a last-preset record; a record without a string "key" names the empty preset.
std::string recorded_name(const QJsonValue &record)
{
    return record.toObject().value(QLatin1String("key")).toString().toStdString();
}

// The user's copy shadows the shipped preset, and "Standard" stands in for a name found nowhere;
// a missing standard preset gives an empty object. A name with "/" names no preset: as a path it
// would reach inside another preset. The handles nest and are all released on return, the
// innermost first.
QJsonValue find_preset(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return preset(standard_preset_path).get();
    const Configuration user = preset(user_preset_path + name);
    if (user)
        return user.get();
    const Configuration shipped = preset(shipped_preset_path + name);
    if (shipped)
        return shipped.get();
    const Configuration standard = preset(standard_preset_path);
    return standard.get();
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
        model->load(standard_name);
        return model.release();
    }
    // The record's handle stays open while the model loads: the store's lock outside the model's.
    const Configuration record = preset(last_preset_path);
    // A recorded name with "/" finds nothing, as any missing preset; the user is told once.
    const std::string name = record ? recorded_name(record.get()) : standard_name;
    refuses_preset_name(name, "found");
    model->load(name);
    return model.release();
}

void Model::load(std::string const &name)
{
    load(find_preset(name).toObject());
    // Read only now: when name is this model's own description (reset), the record carries the
    // description of the preset just loaded.
    preset(last_preset_path)
        .set(QJsonObject{{QStringLiteral("key"), QString::fromStdString(name)}});
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
    if (read_only || refuses_preset_name(name, "removed"))
        return false;
    lock.unlock();
    {
        Configuration record = preset(last_preset_path);
        if (record && recorded_name(record.get()) == name)
            record.drop();
    }
    preset(user_preset_path + name).drop();
    clear();
    // The handle is gone before load takes the model's lock.
    const QJsonObject standard = preset(standard_preset_path).get().toObject();
    load(standard);
    return true;
}

} // namespace korvel::transferfunction
