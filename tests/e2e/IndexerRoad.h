#pragma once
// The road through a Torznab indexer: the run command's stand-in indexer in the site box.

class QObject;

namespace morvane::e2e {

QObject* NewIndexerRoadTest();

}  // namespace morvane::e2e
