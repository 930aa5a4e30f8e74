#include "abstractactions.h"

namespace korvel::kineticcurve {

AbstractActions::AbstractActions(QObject *parent)
    : QObject(parent)
{
    setObjectName(QStringLiteral("korvel::kineticcurve::Actions"));
}

AbstractActions::~AbstractActions() = default;

void AbstractActions::quit()
{
    do_quit();
}

void AbstractActions::create_probe()
{
    do_create_probe();
}

void AbstractActions::set_layout(const QString &name)
{
    do_set_layout(name);
}

void AbstractActions::print_curve()
{
    do_print_curve();
}

void AbstractActions::print_serie()
{
    do_print_serie();
}

void AbstractActions::print_serie_and_curve()
{
    do_print_serie_and_curve();
}

void AbstractActions::create_documentation_curve()
{
    do_create_documentation_curve();
}

void AbstractActions::create_documentation_serie()
{
    do_create_documentation_serie();
}

void AbstractActions::create_documentation_serie_and_curve()
{
    do_create_documentation_serie_and_curve();
}

void AbstractActions::visibility_changed(bool value)
{
    do_visibility_changed(value);
}

} // namespace korvel::kineticcurve
