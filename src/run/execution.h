// The state of one run: what execute() opens on its way, handed to each
// step that needs it and closed on every way out, so that nothing of a run
// outlives it or is shared with another.
#ifndef EXECUTION_H
#define EXECUTION_H

#include "../gdal/gdal_programme.h"
#include "../io/resultats.h"

struct Execution {
    ContexteGdal gdal;       // the DEM and the image GDAL has open
    JeuResultats resultats;  // every file the run writes, until it is put in place
};

#endif
