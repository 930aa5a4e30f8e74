#include <kineticcurve/abstractactions.h>

#include "testing.h"

class TestAbstractActions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void slot_reaches_its_own_operation_once_data()
    {
        QTest::addColumn<QVariant>("argument");
        QTest::newRow("quit leaves the tool") << QVariant();
        QTest::newRow("create_probe adds a probe") << QVariant();
        QTest::newRow("set_layout passes the name") << QVariant(QStringLiteral("Two by two"));
        QTest::newRow("print_curve prints the curve") << QVariant();
        QTest::newRow("print_serie prints the series") << QVariant();
        QTest::newRow("print_serie_and_curve prints both") << QVariant();
        QTest::newRow("create_documentation_curve documents the curve") << QVariant();
        QTest::newRow("create_documentation_serie documents the series") << QVariant();
        QTest::newRow("create_documentation_serie_and_curve documents both") << QVariant();
        QTest::newRow("visibility_changed passes its value") << QVariant(true);
    }
    // Each row is named after the slot it invokes by name.
    void slot_reaches_its_own_operation_once()
    {
        QFETCH(QVariant, argument);
        const QByteArray slot = QByteArray(QTest::currentDataTag()).split(' ').first();
        struct : korvel::kineticcurve::AbstractActions
        {
            QList<QPair<QByteArray, QVariant>> calls;
            void on(const char *name, const QVariant &value = {}) { calls.append({name, value}); }
            void do_visibility_changed(bool value) override { on(__func__, value); }
            void do_quit() override { on(__func__); }
            void do_create_probe() override { on(__func__); }
            void do_set_layout(const QString &name) override { on(__func__, name); }
            void do_print_curve() override { on(__func__); }
            void do_print_serie() override { on(__func__); }
            void do_print_serie_and_curve() override { on(__func__); }
            void do_create_documentation_curve() override { on(__func__); }
            void do_create_documentation_serie() override { on(__func__); }
            void do_create_documentation_serie_and_curve() override { on(__func__); }
        } actions;
        QCOMPARE(actions.objectName(), QStringLiteral("korvel::kineticcurve::Actions"));
        // An absent argument has no type name, which invokeMethod() takes as no argument at all.
        QVERIFY(
            QMetaObject::invokeMethod(&actions, slot.constData(), Qt::DirectConnection,
                                      QGenericArgument(argument.typeName(), argument.constData())));
        QCOMPARE(actions.calls, (decltype(actions.calls){{"do_" + slot, argument}}));
    }
};

KESU_TEST_CLASS(TestAbstractActions)
#include "tst_abstractactions.moc"
