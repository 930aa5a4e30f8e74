#include <kineticcurve/abstractactions.h>

#include "testing.h"

#include <QMetaMethod>

using korvel::kineticcurve::AbstractActions;

namespace {

// Records every operation reached, with its argument.
class Actions : public AbstractActions
{
public:
    QStringList calls;

    void do_visibility_changed(bool value) override
    {
        calls.append(QStringLiteral("do_visibility_changed ")
                     + (value ? QStringLiteral("true") : QStringLiteral("false")));
    }
    void do_quit() override { calls.append(QStringLiteral("do_quit")); }
    void do_create_probe() override { calls.append(QStringLiteral("do_create_probe")); }
    void do_set_layout(const QString &name) override
    {
        calls.append(QStringLiteral("do_set_layout ") + name);
    }
    void do_print_curve() override { calls.append(QStringLiteral("do_print_curve")); }
    void do_print_serie() override { calls.append(QStringLiteral("do_print_serie")); }
    void do_print_serie_and_curve() override
    {
        calls.append(QStringLiteral("do_print_serie_and_curve"));
    }
    void do_create_documentation_curve() override
    {
        calls.append(QStringLiteral("do_create_documentation_curve"));
    }
    void do_create_documentation_serie() override
    {
        calls.append(QStringLiteral("do_create_documentation_serie"));
    }
    void do_create_documentation_serie_and_curve() override
    {
        calls.append(QStringLiteral("do_create_documentation_serie_and_curve"));
    }
};

} // namespace

class TestAbstractActions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void new_action_set_is_named_and_shows_nowhere()
    {
        QObject owner;
        auto *actions = new Actions;
        actions->setParent(&owner);
        QCOMPARE(actions->objectName(), QStringLiteral("korvel::kineticcurve::Actions"));
        QCOMPARE(
            owner.findChild<AbstractActions *>(QStringLiteral("korvel::kineticcurve::Actions")),
            actions);
        QVERIFY(!actions->display());
    }

    void slots_are_listed_in_order_without_signals()
    {
        const QMetaObject &meta = AbstractActions::staticMetaObject;
        QStringList methods;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            QCOMPARE(meta.method(i).methodType(), QMetaMethod::Slot);
            QCOMPARE(meta.method(i).access(), QMetaMethod::Public);
            methods.append(QString::fromLatin1(meta.method(i).methodSignature()));
        }
        const QStringList expected{
            QStringLiteral("quit()"),
            QStringLiteral("create_probe()"),
            QStringLiteral("set_layout(QString)"),
            QStringLiteral("print_curve()"),
            QStringLiteral("print_serie()"),
            QStringLiteral("print_serie_and_curve()"),
            QStringLiteral("create_documentation_curve()"),
            QStringLiteral("create_documentation_serie()"),
            QStringLiteral("create_documentation_serie_and_curve()"),
            QStringLiteral("visibility_changed(bool)"),
        };
        QCOMPARE(methods, expected);
    }

    void slot_reaches_its_own_operation_once_data()
    {
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<QVariant>("argument");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const char *slot, const QVariant &argument,
                            const char *expected) {
            QTest::newRow(name) << QByteArray(slot) << argument << QString::fromLatin1(expected);
        };
        row("quit leaves the tool", "quit", {}, "do_quit");
        row("create_probe adds a probe", "create_probe", {}, "do_create_probe");
        row("set_layout passes the layout's name", "set_layout", QStringLiteral("Two by two"),
            "do_set_layout Two by two");
        row("set_layout passes an empty name on", "set_layout", QString(), "do_set_layout ");
        row("print_curve prints the curve", "print_curve", {}, "do_print_curve");
        row("print_serie prints the series", "print_serie", {}, "do_print_serie");
        row("print_serie_and_curve prints both", "print_serie_and_curve", {},
            "do_print_serie_and_curve");
        row("create_documentation_curve documents the curve", "create_documentation_curve", {},
            "do_create_documentation_curve");
        row("create_documentation_serie documents the series", "create_documentation_serie", {},
            "do_create_documentation_serie");
        row("create_documentation_serie_and_curve documents both",
            "create_documentation_serie_and_curve", {}, "do_create_documentation_serie_and_curve");
        row("visibility_changed passes true", "visibility_changed", true,
            "do_visibility_changed true");
        row("visibility_changed passes false", "visibility_changed", false,
            "do_visibility_changed false");
    }
    void slot_reaches_its_own_operation_once()
    {
        QFETCH(QByteArray, slot);
        QFETCH(QVariant, argument);
        QFETCH(QString, expected);
        Actions actions;
        const QGenericArgument generic = argument.isValid()
            ? QGenericArgument(argument.typeName(), argument.constData())
            : QGenericArgument();
        QVERIFY(
            QMetaObject::invokeMethod(&actions, slot.constData(), Qt::DirectConnection, generic));
        QCOMPARE(actions.calls, QStringList{expected});
    }
};

KESU_TEST_CLASS(TestAbstractActions)
#include "tst_abstractactions.moc"
