#pragma once

namespace morvane {

// The embedded browsers keep no HTTP cache: a page is always read from its server, as every
// link resolution requires, and cookies are kept. Window thread only; called before the
// first browser is made and again before each resolution (a no-op once set).
void UseUncachedWebProfile();

}  // namespace morvane
