// The SVG map of a run. Its memory is bounded by the picture, not by the number of records:
// it keeps at most one dot per two-pixel cell of the canvas and message class.
//
// Not thread-safe; one owner.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/common/OutputFile.h"
#include "host/outputs/Output.h"
#include "host/outputs/RecordRow.h"

namespace n95::host {

// The map: the track, the records as dots coloured by message class (each class in its own
// lane beside the track, so that none hides another), a legend with the counts, a scale bar
// and a north arrow. The projection is fitted to the track, which must
// outlive the map; records lie on it (they are placed between its fixes).
class TSvgMap {
public:
    static constexpr int kWidth = 1000;
    static constexpr int kHeight = 720;

    explicit TSvgMap(const std::vector<TGpsPoint>& track);
    void Add(const TRecordRow& row);
    // The heading lines.
    void SetTitle(std::string title, std::string subtitle);
    std::string Render() const;
    // Writes the picture into `file` (opened by the caller, early, so that an unwritable
    // path fails before a long replay).
    void Write(TOutputFile& file) const;
    // Write, then commits the file.
    bool Commit(TOutputFile& file, std::string* error) const;

    // Dots kept for drawing (for tests of the bound). Records outside the canvas are
    // counted in the legend but not drawn.
    std::size_t DotCount() const;

private:
    struct TPixel {
        float X, Y;
    };
    bool Project(double lon, double lat, double& x, double& y) const;

    const std::vector<TGpsPoint>& Track;
    std::string Title, Subtitle;
    bool HasProjection = false;
    double LonMin = 0, LatMin = 0, MetresPerDegreeLon = 0, MetresPerDegreeLat = 0;
    double Scale = 1, OffsetX = 0, OffsetY = 0;              // pixels per metre, pixel origin
    double LastX = 0, LastY = 0, AcrossX = 0, AcrossY = -1;  // lane direction (pixels)
    std::array<uint64_t, kClassBuckets> Counts{};
    uint64_t WithoutPosition = 0;
    std::array<std::vector<TPixel>, kClassBuckets> Dots;
    // One bit per two-pixel cell of the canvas and class: a dot is already drawn there.
    std::vector<uint64_t> Cells;

    // Writes the picture into `s`; with `out`, flushes `s` to it as it grows.
    void Emit(std::string& s, FILE* out) const;
    // The pieces of the picture, in drawing order. Those that can grow long (with the
    // track or the records) take `out` to flush `s` to.
    void EmitHeading(std::string& s) const;
    void EmitTrack(std::string& s, FILE* out) const;
    void EmitDots(std::string& s, FILE* out) const;
    void EmitStartAndEnd(std::string& s) const;
    void EmitLegend(std::string& s) const;
};

// The map as an output: drawn on the complete track, every record placed on it.
class TMapOutput : public IOutput {
public:
    bool Open(const std::string& path, std::string* error) override {
        return Out.Open(path, error);
    }
    void Begin(const TOutputFacts& facts) override {
        Map = std::make_unique<TSvgMap>(*facts.Track);
    }
    void Add(const TRecordRow& row) override { Map->Add(row); }
    bool Make(const TOutputFacts& facts, std::string* error) override;
    TOutputFile& File() override { return Out; }
    void Discard() override {
        Out.Discard();
        Map.reset();
    }

private:
    TOutputFile Out;
    std::unique_ptr<TSvgMap> Map;
};

// --map, and NAME.svg under -o.
extern const TOutputKind kMapOutputKind;

}  // namespace n95::host
