#include "transferfunction/model.h"

namespace korvel::transferfunction {

Model::~Model() = default;

} // namespace korvel::transferfunction
