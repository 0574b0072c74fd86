// The joint score is a template over the family model (score/shape_aware.h).
#include "score/shape_aware.h"
