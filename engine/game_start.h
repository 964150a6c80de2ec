// Starting the installed game.
#pragma once

// Starts the game program (with " --updated" when updated); true when the
// process was created. Keeps no handle to it.
bool launchGame(bool updated);
