#pragma once

#include <kesupluginmanager_export.h>

#include <QObject>
#include <QString>

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

namespace korvel::kineticcurve {

// The user actions of the kinetic-curve tool as slots, so that menus and buttons connect to them
// by name; each slot hands its call to the do_ operation the plug-in implements. The action set
// also remembers, without owning it, the widget in which the tool displays.
class KESUPLUGINMANAGER_EXPORT AbstractActions : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(AbstractActions)

public:
    // Named "korvel::kineticcurve::Actions", the name by which views look the action set up.
    explicit AbstractActions(QObject *parent = nullptr);
    ~AbstractActions() override;

    QWidget *display() const { return display_widget; }
    void set_display(QWidget *widget) { display_widget = widget; }

public Q_SLOTS:
    void quit();
    void create_probe();
    void set_layout(const QString &name);
    void print_curve();
    void print_serie();
    void print_serie_and_curve();
    void create_documentation_curve();
    void create_documentation_serie();
    void create_documentation_serie_and_curve();
    void visibility_changed(bool value);

public:
    // The operations the plug-in implements, one for each slot of the same name without do_.
    virtual void do_visibility_changed(bool value) = 0;
    virtual void do_quit() = 0;
    virtual void do_create_probe() = 0;
    virtual void do_set_layout(const QString &name) = 0;
    virtual void do_print_curve() = 0;
    virtual void do_print_serie() = 0;
    virtual void do_print_serie_and_curve() = 0;
    virtual void do_create_documentation_curve() = 0;
    virtual void do_create_documentation_serie() = 0;
    virtual void do_create_documentation_serie_and_curve() = 0;

private:
    QWidget *display_widget = nullptr;
};

} // namespace korvel::kineticcurve
