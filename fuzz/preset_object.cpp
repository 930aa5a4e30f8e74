// Arbitrary JSON objects read as a preset: reading may end in a range violation, and nothing
// else; a preset that was read, saved and read back gives the same fields.
#include "fuzzcommon.h"

#include <application/configuration.h>
#include <application/manager.h>
#include <transferfunction/model.h>

#include <QFile>
#include <QJsonObject>

#include <stdexcept>

using korvel::application::preset;
using korvel::application::impl::Manager;
using korvel::transferfunction::Model;

namespace {

// One manager for the run, on files in the scratch folder; each input leaves no user preset.
Manager &store()
{
    static Manager *manager = [] {
        const QString global_file = kesu::fuzz::scratch_folder() + QStringLiteral("/shipped.json");
        QFile global(global_file);
        global.open(QIODevice::WriteOnly);
        global.write("{}");
        global.close();
        return new Manager(kesu::fuzz::scratch_folder() + QStringLiteral("/presets.json"),
                           global_file);
    }();
    return *manager;
}

struct ForgetUserPresets
{
    ~ForgetUserPresets() { preset("user/rendering").drop(); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    kesu::fuzz::prepare();
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    if (!document.isObject())
        return 0;

    store();
    const ForgetUserPresets forget;

    Model read;
    try {
        read.load(document.object());
    } catch (const std::out_of_range &) {
        return 0;
    }
    // A read-only preset is saved once it is given a name, as a user would.
    if (read.is_read_only())
        read.set_description(read.get_description());
    if (!read.save()) {
        // A name with "/" is refused: the store would nest it inside another preset.
        FUZZ_CHECK(read.get_description().find('/') != std::string::npos);
        return 0;
    }

    const QJsonValue saved = preset("user/rendering/dvr/preset/" + read.get_description()).get();
    FUZZ_CHECK(saved.isObject());
    Model reread;
    reread.load(saved.toObject());
    kesu::fuzz::check_same_fields(read, reread);
    return 0;
}
