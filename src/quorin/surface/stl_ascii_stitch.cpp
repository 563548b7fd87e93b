#include "quorin/surface/stl_ascii_stitch.hpp"

#include <utility>

namespace quorin::mesh::detail {

namespace {

class Stitcher {
public:
    Stitcher(std::string_view text, const std::vector<FacetRun>& runs, std::size_t max_vertices)
        : runs_(runs), max_vertices_(max_vertices), reader_(text, max_vertices) {}

    StitchedRuns run() {
        reader_.skip_first_line();
        for (;;) {
            reader_.skip_space();
            if (const FacetRun* run = run_at(reader_.offset())) {
                take(*run);
                continue;
            }
            const std::size_t before = reader_.vertices().size() / 3;
            const AsciiReader::Step step = reader_.statement();
            if (step == AsciiReader::Step::facet) add_serial(before);
            if (step == AsciiReader::Step::failed) out_.error = std::move(reader_.error());
            if (step == AsciiReader::Step::end || step == AsciiReader::Step::failed) break;
        }
        out_.serial_corners = std::move(reader_.vertices());
        return std::move(out_);
    }

private:
    // The run that begins at `offset`, if one does and it fits under the
    // vertex limit. Runs that begin before it are passed for good.
    const FacetRun* run_at(std::size_t offset) {
        while (next_ < runs_.size() && (runs_[next_].facets == 0 || runs_[next_].begin < offset)) ++next_;
        if (next_ == runs_.size() || runs_[next_].begin != offset) return nullptr;
        const FacetRun& run = runs_[next_];
        // Past the limit the reader stops at the facet that crosses it.
        if (run.facets > (max_vertices_ - reader_.vertex_count()) / 3) return nullptr;
        ++next_;
        return &run;
    }

    void take(const FacetRun& run) {
        out_.spans.push_back({false, run.begin, out_.facets, run.facets, reader_.line()});
        out_.facets += run.facets;
        reader_.jump(run.end, run.line_feeds, run.facets);
    }

    // The facet just read, which is facet `index` of the reader's own.
    void add_serial(std::size_t index) {
        FacetSpan* last = out_.spans.empty() ? nullptr : &out_.spans.back();
        if (last && last->serial && last->source + last->facets == index) {
            ++last->facets;
        } else {
            out_.spans.push_back({true, index, out_.facets, 1, 0});
        }
        ++out_.facets;
    }

    const std::vector<FacetRun>& runs_;
    std::size_t max_vertices_;
    AsciiReader reader_;
    std::size_t next_ = 0;
    StitchedRuns out_;
};

}  // namespace

StitchedRuns stitch_runs(std::string_view text, const std::vector<FacetRun>& runs, std::size_t max_vertices) {
    return Stitcher(text, runs, max_vertices).run();
}

}  // namespace quorin::mesh::detail
