#include "quorin/surface/obj_stitch.hpp"

#include <string_view>
#include <unordered_map>
#include <utility>

namespace quorin::mesh::detail {

namespace {

// Follows the objects and groups through the blocks in file order.
class Stitcher {
public:
    StitchedBlocks run(const std::vector<BlockScan>& scans) {
        out_.starts.reserve(scans.size());
        for (const BlockScan& scan : scans) block(scan);
        return std::move(out_);
    }

private:
    void block(const BlockScan& scan) {
        BlockStart start;
        start.line = lines_;
        start.vertex = out_.vertices;
        start.triangle = out_.triangles;
        start.object_first = object_first_;
        start.stretch_patches.reserve(scan.events.size() + 1);
        start.stretch_patches.push_back(stretch_patch(scan.shapes_first));
        for (const ObjEvent& e : scan.events) {
            apply(e, start.vertex);
            start.stretch_patches.push_back(stretch_patch(e.shapes_after));
        }
        lines_ += scan.lines;
        out_.vertices += scan.vertices;
        out_.triangles += scan.triangles;
        out_.starts.push_back(std::move(start));
    }

    void apply(const ObjEvent& e, std::size_t block_vertex) {
        if (e.object) {
            object_name_ = e.name;
            object_first_ = block_vertex + e.vertices_before;
            has_group_ = false;
        } else {
            has_group_ = e.named;
            group_ = e.name;
        }
    }

    std::uint64_t stretch_patch(bool shapes) { return shapes ? patch() : NO_PATCH; }

    // The id of the current object's and group's patch, entered on first use.
    std::uint64_t patch() {
        const std::string_view group = has_group_ ? group_ : "_default";
        std::string name = object_name_.empty()
                               ? std::string(group)
                               : std::string(object_name_) + "_" + std::string(group);
        const auto [it, inserted] = ids_.try_emplace(name, out_.patch_names.size());
        if (inserted) out_.patch_names.push_back(std::move(name));
        return it->second;
    }

    StitchedBlocks out_;
    std::size_t lines_ = 0;
    std::string_view object_name_;
    std::size_t object_first_ = 0;
    bool has_group_ = false;
    std::string_view group_;
    std::unordered_map<std::string, std::uint64_t> ids_;
};

}  // namespace

StitchedBlocks stitch_blocks(const std::vector<BlockScan>& scans) { return Stitcher().run(scans); }

}  // namespace quorin::mesh::detail
