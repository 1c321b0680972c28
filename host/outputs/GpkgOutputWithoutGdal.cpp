// The GeoPackage output of a build without GDAL (libgdal-dev missing, or N95_WITH_GDAL off):
// CMake compiles this file instead of GpkgOutput.cpp, and --gpkg fails when the output is
// opened, before the run, with a message that says why.
#include "host/common/OutputTarget.h"
#include "host/outputs/GpkgOutput.h"

namespace n95::host {

namespace {

class TMissingGpkgOutput final : public IOutput {
public:
    bool Open(const std::string& path, std::string* error) override {
        *error = "cannot write " + OutputDisplayName(path) +
                 ": this n95host was built without GeoPackage support (without GDAL, "
                 "libgdal-dev, or with N95_WITH_GDAL off); write the CSV or the GeoJSON and "
                 "convert it with ogr2ogr";
        return false;
    }
    bool Make(const TOutputFacts&, std::string* error) override {
        *error = "this n95host was built without GeoPackage support";
        return false;
    }
    TOutputFile& File() override { return Unopened; }

private:
    TOutputFile Unopened;
};

}  // namespace

std::unique_ptr<IOutput> MakeGpkgOutput() {
    return std::make_unique<TMissingGpkgOutput>();
}

}  // namespace n95::host
