#include <orvane/datasourcewrapper.h>

#include "testing.h"

#include <QSignalSpy>

using korvel::orvane::DataSourceWrapper;

namespace {

class Wrapper : public DataSourceWrapper
{
public:
    QString get_name() const override { return {}; }
    QSize get_size() const override { return {}; }
    QSizeF get_spacing() const override { return {}; }
    bool is_valid() const override { return true; }
    void refresh() override { }
};

} // namespace

class TestDataSourceWrapper : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void new_wrapper_has_no_image()
    {
        const Wrapper wrapper;
        QVERIFY(wrapper.get_image().isNull());
        QVERIFY(!wrapper.parent());
    }

    void every_set_image_is_announced()
    {
        Wrapper wrapper;
        QSignalSpy changed(&wrapper, &DataSourceWrapper::image_changed);
        QPixmap pixmap(4, 3);
        pixmap.fill(Qt::red);
        wrapper.set_image(pixmap);
        wrapper.set_image(pixmap);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(wrapper.get_image().cacheKey(), pixmap.cacheKey());

        wrapper.set_image(QPixmap());
        QCOMPARE(changed.count(), 3);
        QVERIFY(wrapper.get_image().isNull());
    }
};

KESU_TEST_CLASS(TestDataSourceWrapper)
#include "tst_datasourcewrapper.moc"
