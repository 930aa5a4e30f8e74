// Arbitrary JSON objects read as a preset: reading may end in a range violation, and nothing
// else; a preset that was read, saved and read back gives the same fields.
#include "fuzzcommon.h"

#include <application/configuration.h>
#include <application/manager.h>
#include <transferfunction/model.h>

#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstring>
#include <stdexcept>

using korvel::application::preset;
using korvel::application::impl::Manager;
using korvel::transferfunction::Model;

namespace {

bool same_bits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_points(const std::vector<Model::Point> &a, const std::vector<Model::Point> &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(Model::Point)) != 0)
            return false;
    }
    return true;
}

void check_same_fields(const Model &read, const Model &reread)
{
    FUZZ_CHECK(same_points(read.get_points(), reread.get_points()));
    FUZZ_CHECK(read.is_custom_opacity() == reread.is_custom_opacity());
    FUZZ_CHECK(read.get_background_color() == reread.get_background_color());
    FUZZ_CHECK(read.get_blend_mode() == reread.get_blend_mode());
    FUZZ_CHECK(read.get_category() == reread.get_category());
    FUZZ_CHECK(read.is_shade() == reread.is_shade());
    FUZZ_CHECK(read.get_ambient() == reread.get_ambient());
    FUZZ_CHECK(read.get_diffuse() == reread.get_diffuse());
    FUZZ_CHECK(read.get_specular() == reread.get_specular());
    FUZZ_CHECK(read.get_specular_power() == reread.get_specular_power());
    FUZZ_CHECK(read.get_description() == reread.get_description());
    const auto [width, level] = read.window_width_level();
    const auto [width_again, level_again] = reread.window_width_level();
    FUZZ_CHECK(same_bits(width, width_again) && same_bits(level, level_again));
    FUZZ_CHECK(!reread.is_read_only());
    FUZZ_CHECK(read.get_opacity_table() == reread.get_opacity_table());
    FUZZ_CHECK(read.get_clut() == reread.get_clut());
    FUZZ_CHECK(read.get_convolution_filter() == reread.get_convolution_filter());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    kesu::fuzz::prepare();
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    if (!document.isObject())
        return 0;

    QTemporaryDir dir;
    const QString global_file = dir.filePath(QStringLiteral("3d_presets.json"));
    QFile global(global_file);
    global.open(QIODevice::WriteOnly);
    global.write("{}");
    global.close();
    Manager manager(dir.filePath(QStringLiteral("presets.json")), global_file);

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
    check_same_fields(read, reread);
    return 0;
}
