#pragma once

namespace vorel {

// Stored in fitted models as "Identity", "Log", "Logit".
enum class LinkKind { Identity = 0, Log = 1, Logit = 2 };

// Fixed: dispersion 1. Profiled: phi = D_p / (n - M_p). ML: profiled start refined by Newton.
enum class ScaleKind { Fixed, Profiled, ML };

}  // namespace vorel
