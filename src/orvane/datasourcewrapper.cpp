#include "datasourcewrapper.h"

#include <utility>

namespace korvel::orvane {

DataSourceWrapper::DataSourceWrapper() = default;

DataSourceWrapper::~DataSourceWrapper() = default;

void DataSourceWrapper::set_image(QPixmap pixmap)
{
    image = std::move(pixmap);
    Q_EMIT image_changed();
}

QPixmap DataSourceWrapper::get_image() const
{
    return image;
}

} // namespace korvel::orvane
