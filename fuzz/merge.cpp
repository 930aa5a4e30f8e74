// Two managers on one user file, as two viewers of one user, driven in turns by the input: sets,
// drops, saves and pick-ups. A plain reference says what each save must leave on disk (the saving
// manager's changed paths, with the values it holds, applied onto the file) and what each manager
// must hold afterwards; the file and both managers' views are checked against it after each step.
#include "fuzzcommon.h"

#include <application/configuration.h>
#include <application/manager.h>
#include <application/testhooks.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStringList>

#include <array>
#include <memory>
#include <optional>

using korvel::application::preset;
using korvel::application::impl::Manager;
namespace testing = korvel::application::impl::testing;

namespace {

const std::array<const char *, 8> paths{
    "a", "a/b", "a/c", "a/b/d", "b", "b/a", "rendering/dvr/preset/X", "rendering/dvr/preset/Y"};
const std::array<const char *, 3> top_members{"a", "b", "rendering"};

std::optional<QJsonValue> value_at(const QJsonObject &document, const QStringList &keys)
{
    QJsonValue value = document;
    for (const QString &key : keys) {
        if (!value.isObject() || !value.toObject().contains(key))
            return std::nullopt;
        value = value.toObject().value(key);
    }
    return value;
}

// What a handle's set does: objects are made of whatever stands on the way.
QJsonObject with_value(QJsonObject document, QStringList keys, const QJsonValue &value)
{
    const QString key = keys.takeFirst();
    document[key] =
        keys.isEmpty() ? value : with_value(document.value(key).toObject(), keys, value);
    return document;
}

QJsonObject without_value(QJsonObject document, QStringList keys)
{
    const QString key = keys.takeFirst();
    if (keys.isEmpty())
        document.remove(key);
    else if (document.value(key).isObject())
        document[key] = without_value(document.value(key).toObject(), keys);
    return document;
}

QStringList keys_of(const QString &path)
{
    return path.split(QLatin1Char('/'));
}

// One manager's side of the reference: what it holds, what it changed since it last wrote, and
// which version of the file it last read or wrote.
struct Side
{
    QJsonObject holds;
    QSet<QString> changed;
    bool pending = false;
    int seen = 0;
};

QJsonObject merged(QJsonObject file, const Side &side)
{
    for (const QString &path : side.changed) {
        const std::optional<QJsonValue> value = value_at(side.holds, keys_of(path));
        file = value ? with_value(file, keys_of(path), *value) : without_value(file, keys_of(path));
    }
    return file;
}

QJsonObject on_disk(const QString &file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return QJsonObject();
    const QJsonDocument document = QJsonDocument::fromJson(in.readAll());
    FUZZ_CHECK(document.isObject());
    return document.object();
}

// The manager in use holds what the reference says, member by top-level member.
void check_view(const Side &side)
{
    for (const char *member : top_members) {
        const auto handle = preset(std::string("user/") + member);
        const QJsonValue expected = side.holds.value(QLatin1String(member));
        FUZZ_CHECK(bool(handle) == !expected.isUndefined());
        if (handle)
            FUZZ_CHECK(handle.get() == expected);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    kesu::fuzz::prepare();
    kesu::fuzz::clear_scratch_folder();
    const QString user_file = kesu::fuzz::scratch_folder() + QStringLiteral("/presets.json");
    const QString global_file = kesu::fuzz::scratch_folder() + QStringLiteral("/3d_presets.json");
    std::array<std::unique_ptr<Manager>, 2> managers{
        std::make_unique<Manager>(user_file, global_file),
        std::make_unique<Manager>(user_file, global_file)};
    std::array<Side, 2> sides;
    QJsonObject file;
    // Counts the writes: a manager that has seen the latest writes its document as it holds it
    // (an empty object that a drop left stays); otherwise its changes go onto the file.
    int version = 0;

    for (std::size_t at = 0; at + 1 < size && at < 256; at += 2) {
        const unsigned op = data[at] % 4;
        const std::size_t k = (data[at] >> 2) & 1;
        const QString path = QLatin1String(paths[(data[at] >> 3) & 7]);
        const int value = data[at + 1];
        Side &side = sides[k];
        testing::use_manager(managers[k].get());
        kesu::fuzz::watch("merge step");
        switch (op) {
        case 0:
            preset("user/" + path.toStdString()).set(QJsonObject{{QStringLiteral("v"), value}});
            side.holds =
                with_value(side.holds, keys_of(path), QJsonObject{{QStringLiteral("v"), value}});
            side.changed.insert(path);
            side.pending = true;
            break;
        case 1:
            if (auto handle = preset("user/" + path.toStdString())) {
                handle.drop();
                side.holds = without_value(side.holds, keys_of(path));
                side.changed.insert(path);
                side.pending = true;
            }
            break;
        case 2:
            FUZZ_CHECK(managers[k]->sync());
            if (side.pending) {
                file = side.seen == version ? side.holds : merged(file, side);
                side = {file, {}, false, ++version};
            }
            FUZZ_CHECK(on_disk(user_file) == file);
            break;
        case 3:
            testing::pick_up(*managers[k]);
            if (side.seen != version) {
                side.holds = merged(file, side);
                side.seen = version;
            }
            break;
        }
        check_view(side);
    }
    kesu::fuzz::watch(nullptr);
    return 0;
}
