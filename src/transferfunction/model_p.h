#pragma once

// Internals of the transfer-function model shared by its source files; never installed.

#include "application/timerrestart.h"
#include "transferfunction/model.h"
#include "transferfunction/presetschema.h"

#include <QJsonObject>

#include <string>
#include <vector>

namespace korvel::transferfunction {

// The state of a model beyond the fields of its installed header, so that state can be added
// without changing the header's layout again. Guarded by the model's mutex.
class ModelPrivate
{
public:
    // The stored colour table converted last: a window change that finds the same table (the
    // same shared JSON object) does not convert its 768 entries again.
    QJsonObject converted_from;
    std::vector<double> red;
    std::vector<double> green;
    std::vector<double> blue;
    // Why the table cannot be used; empty when it can.
    std::vector<schema::Problem> problems;
    // The stored colour table last read, by name, and the store's generation when it was read.
    std::string table_name;
    QJsonObject table;
    quint64 table_generation = ~quint64(0);
    // Restarts the change timer; not guarded, it may be asked from any thread.
    application::impl::TimerRestart *change_restart = nullptr;
};

// Replaces points by 256 computed from the colour table clut (stored_table when it is not built
// in) and the opacity kind across the window; leaves them, with a warning, when the table cannot
// be used. Called with the model's lock held.
void generate_points(ModelPrivate &d, const std::string &clut, const QJsonObject &stored_table,
                     const std::string &opacity_table, float width, float level,
                     std::vector<point::Point> &points);

} // namespace korvel::transferfunction
