#include "circleprobemodel.h"

#include <cmath>
#include <utility>
#include <vector>

namespace korvel::models {

namespace {

constexpr std::size_t pool_size = 128;
// The golden-ratio fraction spreads consecutive hues as far apart as possible, so that the first
// few probes, the ones a user usually has, are the easiest to tell apart.
constexpr float hue_step = 0.618034f;

// The colour pool: the flag of an entry is true while no probe holds its colour. Built on first
// use; the order of its entries never changes.
std::vector<std::pair<bool, QColor>> s_avail;

void build_pool()
{
    if (!s_avail.empty())
        return;
    std::vector<std::pair<bool, QColor>> pool;
    pool.reserve(pool_size);
    float hue = 0.0f;
    for (std::size_t i = 0; i < pool_size; ++i) {
        pool.emplace_back(true, QColor::fromHslF(double(hue), 1.0, 0.5, 1.0));
        hue = fmodf(hue + hue_step, 1.0f);
    }
    s_avail = std::move(pool);
}

// The lowest free index, marked taken; the pool size when every colour is taken.
std::size_t take_color()
{
    std::size_t index = 0;
    while (index < s_avail.size() && !s_avail[index].first)
        ++index;
    if (index < s_avail.size())
        s_avail[index].first = false;
    return index;
}

} // namespace

CircleProbeModel::CircleProbeModel(QObject *parent)
    : QObject(parent)
{
    build_pool();
    color_index = take_color();
}

CircleProbeModel::~CircleProbeModel()
{
    // A probe made beyond the pool's size holds no entry, so it has nothing to give back.
    if (color_index < s_avail.size())
        s_avail[color_index].first = true;
}

std::size_t CircleProbeModel::max_probe()
{
    build_pool();
    return s_avail.size();
}

QColor CircleProbeModel::color() const
{
    if (color_index < s_avail.size())
        return s_avail[color_index].second;
    return QColor(128, 128, 128);
}

void CircleProbeModel::set_selected(bool value)
{
    if (value == selected)
        return;
    selected = value;
    Q_EMIT modified();
}

} // namespace korvel::models
