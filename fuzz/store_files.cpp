// Arbitrary bytes as presets.json and 3d_presets.json, then what a viewer does at start: a
// manager, handles on the library's paths and on paths from the input, Model::create(true), an
// edit, save() and the write-back. Nothing may crash, and the user file is then a JSON object.
#include "fuzzcommon.h"

#include <application/configuration.h>
#include <application/manager.h>
#include <transferfunction/model.h>

#include <QFile>
#include <QJsonObject>

#include <memory>
#include <stdexcept>
#include <string>

using korvel::application::preset;
using korvel::application::impl::Manager;
using korvel::transferfunction::Model;

namespace {

void write(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
}

// The input is the user file, a line "--8<--", the shipped file, the same line, then one path a
// line; a missing part is empty.
QList<QByteArray> parts_of(const QByteArray &input)
{
    QList<QByteArray> parts;
    const QByteArray cut("\n--8<--\n");
    int from = 0;
    for (int i = 0; i < 2; ++i) {
        const int at = input.indexOf(cut, from);
        if (at < 0)
            break;
        parts.append(input.mid(from, at - from));
        from = at + cut.size();
    }
    parts.append(input.mid(from));
    while (parts.size() < 3)
        parts.append(QByteArray());
    return parts;
}

void touch_path(const std::string &path)
{
    try {
        auto handle = preset(path);
        if (handle)
            handle.set(handle.get());
        else
            handle.drop();
    } catch (const std::out_of_range &) { }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    kesu::fuzz::prepare();
    const QList<QByteArray> parts =
        parts_of(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    // Broken user files are copied aside: each input starts from an empty folder.
    kesu::fuzz::clear_scratch_folder();
    const QString user_file = kesu::fuzz::scratch_folder() + QStringLiteral("/presets.json");
    const QString global_file = kesu::fuzz::scratch_folder() + QStringLiteral("/3d_presets.json");
    write(user_file, parts.at(0));
    write(global_file, parts.at(1));

    {
        Manager manager(user_file, global_file);
        for (const char *path :
             {"user/rendering/dvr/last/preset", "global/rendering/dvr/preset/Standard",
              "global/rendering/clut/preset/Grey", "user/rendering/dvr/preset/"})
            touch_path(path);
        for (const QByteArray &line : parts.at(2).split('\n').mid(0, 8))
            touch_path(line.toStdString());

        std::unique_ptr<Model> model;
        try {
            model.reset(Model::create(true));
        } catch (const std::out_of_range &) {
            return 0;
        }
        model->set_window(300.0f, 40.0f);
        model->set_description(model->get_description() + " copy");
        // A name with "/" is refused: it would be stored inside another preset.
        FUZZ_CHECK(model->save() || model->get_description().find('/') != std::string::npos);
        model.reset();
        manager.on_save();
    }

    QFile saved(user_file);
    FUZZ_CHECK(saved.open(QIODevice::ReadOnly));
    FUZZ_CHECK(QJsonDocument::fromJson(saved.readAll()).isObject());
    return 0;
}
