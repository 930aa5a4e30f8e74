#include "fuzzcommon.h"

#include <transferfunction/model.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace kesu::fuzz {

namespace {

void drop_messages(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

void prepare()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
        new QCoreApplication(argc, argv);
        qInstallMessageHandler(drop_messages);
    }
}

QString scratch_folder()
{
    static QTemporaryDir folder(QDir(QStringLiteral("/dev/shm")).exists()
                                    ? QStringLiteral("/dev/shm/kesu-fuzz-XXXXXX")
                                    : QDir::tempPath() + QStringLiteral("/kesu-fuzz-XXXXXX"));
    if (!folder.isValid())
        fail("no scratch folder", __FILE__, __LINE__);
    return folder.path();
}

void clear_scratch_folder()
{
    QDir folder(scratch_folder());
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden))
        folder.remove(name);
}

void watch(const char *call)
{
    using clock = std::chrono::steady_clock;
    static std::atomic<const char *> current{nullptr};
    static std::atomic<clock::rep> started{0};
    static const bool watching = [] {
        std::thread([] {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                const auto running = clock::now().time_since_epoch().count() - started.load();
                const auto limit =
                    std::chrono::duration_cast<clock::duration>(std::chrono::seconds(10)).count();
                if (current.load() && running > limit) {
                    std::fprintf(stderr, "hang: %s still running after 10 s\n", current.load());
                    std::abort();
                }
            }
        }).detach();
        return true;
    }();
    Q_UNUSED(watching)
    started = clock::now().time_since_epoch().count();
    current = call;
}

namespace {

// Equal to the bit, but for the sign of a zero, which JSON does not keep.
bool same_bits(float a, float b)
{
    return (a == 0.0f && b == 0.0f) || std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_points(const std::vector<korvel::transferfunction::Model::Point> &a,
                 const std::vector<korvel::transferfunction::Model::Point> &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof a[i]) != 0)
            return false;
    }
    return true;
}

} // namespace

void check_same_fields(const korvel::transferfunction::Model &read,
                       const korvel::transferfunction::Model &reread)
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

void fail(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

} // namespace kesu::fuzz
