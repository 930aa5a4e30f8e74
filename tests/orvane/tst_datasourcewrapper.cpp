#include <orvane/datasourcewrapper.h>

#include "testing.h"

#include <QSignalSpy>

using korvel::orvane::DataSourceWrapper;

// The test object is itself the smallest wrapper a plug-in could write.
class TestDataSourceWrapper : public DataSourceWrapper
{
    Q_OBJECT

    QString get_name() const override { return {}; }
    QSize get_size() const override { return {}; }
    QSizeF get_spacing() const override { return {}; }
    bool is_valid() const override { return true; }
    void refresh() override { }

private Q_SLOTS:
    void set_image_is_announced_on_every_call()
    {
        QSignalSpy changed(this, &DataSourceWrapper::image_changed);
        set_image(QPixmap(4, 3));
        // The same pixmap again: a data source may have redrawn into it.
        set_image(get_image());
        QCOMPARE(changed.count(), 2);
        QVERIFY(!get_image().isNull());
    }
};

KESU_TEST_CLASS(TestDataSourceWrapper)
#include "tst_datasourcewrapper.moc"
