#include "dem.h"

void ferme_dem(Dem& d)
{
    if (d.ferme && d.contexte) d.ferme(d.contexte);
    d = Dem();
}
