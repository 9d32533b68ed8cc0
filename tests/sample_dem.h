// The bundled sample DEM in a site of its own, and GDAL's tools on it.
#ifndef SAMPLE_DEM_H
#define SAMPLE_DEM_H

#include "e2e.h"

#include <filesystem>
#include <gtest/gtest.h>

struct Sample : Site {
    Sample()
    {
        for (const char* f : {"jacksboro.raw", "jacksboro.txt"}) std::filesystem::copy_file(std::string(SAMPLE_DIR) + "/" + f, path(f));
    }
    // A georeferenced GeoTIFF of the sample (UTM 16N, 25 m cells).
    void geotiff(const std::string& name, const std::string& options) const
    {
        write_file(path("jacksboro.hdr"), "NROWS 344\nNCOLS 403\nNBITS 32\nPIXELTYPE SIGNEDINT\nBYTEORDER I\n");
        ASSERT_EQ(run_command("cd '" + path("") + "' && gdal_translate -q -a_srs EPSG:32616 -a_ullr 500000 4000000 "
                              "510075 3991400 " + options + " jacksboro.raw " + name + " && rm jacksboro.hdr"),
                  0);
    }
    std::string gdal(const std::string& command) const
    {
        std::string out;
        run_command("cd '" + path("") + "' && " + command + " 2>&1", &out);
        return out;
    }
};

#endif
