// The snapshot road: the window with sample texts, saved as a PNG picture.
#pragma once

// Renders the created (not shown) window with sample texts into the file
// that "--snap" names. The exit code: 0 when the picture was saved, 1 when
// there is no PNG encoder or saving failed.
int runSnapshot();
