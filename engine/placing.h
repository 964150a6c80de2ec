// What a placing that stopped before its end leaves behind: the marker in
// the staging folder with the releases it was placing, and the files those
// put where no record names them.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "release/release.h"

// The manifests the marker holds, newest first, each whole; empty when no
// placing stopped (or an older version left the marker empty). Read only
// from a staging folder of ours, never through a link.
std::vector<std::string> readPlacingMarker();

// The marker for a run that places manifest: that manifest first, then each
// of older whose keep flag is set, except one equal to it.
std::string placingMarkerText(const std::string &manifest, const std::vector<std::string> &older,
                              const std::vector<bool> &keep);

// For every file that a marker's manifest lists at a path claimed(path)
// leaves out, where a plain file of the listed size lies in the install
// folder: found(entry, index of its manifest). Only a hash can show that
// the file holds the entry's bytes; a release's files may be found again
// under another release of the marker.
void forEachPlacedCandidate(const std::vector<std::string> &manifests,
                            const std::function<bool(const std::string &)> &claimed,
                            const std::function<void(const FileEntry &, size_t)> &found);
