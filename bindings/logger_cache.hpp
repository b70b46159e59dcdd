// The loggers of the logging bridge, cached by the origin of the records
// ("quorvel::control_loop" -> logger "quorvel.control_loop"), with the
// mapping of origins and levels to the logging module's names and numbers. Readers never
// lock: the cache is a tree of immutable nodes published through one atomic
// root; a writer copies the path to the node it changes and swaps the root.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/python.hpp"
#include "common/log.hpp"

namespace qmc::py {

// "a::b::c" -> {"a", "b", "c"}
inline std::vector<std::string_view> origin_segments(std::string_view origin) {
    std::vector<std::string_view> segments;
    for (;;) {
        const auto separator = origin.find("::");
        segments.push_back(origin.substr(0, separator));
        if (separator == std::string_view::npos) return segments;
        origin.remove_prefix(separator + 2);
    }
}

// The logging module's level of a record level.
inline int python_level(common::log::Level level) {
    switch (level) {
        case common::log::Level::Error: return 40;
        case common::log::Level::Warn: return 30;
        case common::log::Level::Info: return 20;
        case common::log::Level::Debug: return 10;
        case common::log::Level::Trace: return 5;
        case common::log::Level::Off: break;
    }
    return 0;
}

// True when `level` is more verbose than `threshold`.
inline bool more_verbose(common::log::Level level, common::log::Level threshold) {
    return static_cast<int>(level) > static_cast<int>(threshold);
}

// "a::b" -> "a.b"
inline std::string logger_name(std::string_view origin) {
    std::string name;
    for (std::string_view segment : origin_segments(origin)) {
        if (!name.empty()) name += '.';
        name += segment;
    }
    return name;
}

class LoggerCache {
public:
    struct Entry {
        PyObject* logger;  // strong reference, kept for the life of the process
        common::log::Level threshold;  // most verbose level the logger passed when cached
    };

    // The entry cached for `origin`, or null. Never waits.
    const Entry* find(std::string_view origin) const {
        const Node* node = root_.load(std::memory_order_acquire);
        for (std::string_view segment : origin_segments(origin)) {
            if (node == nullptr) return nullptr;
            const Node* next = nullptr;
            for (const auto& [name, child] : node->children) {
                if (name == segment) {
                    next = child;
                    break;
                }
            }
            node = next;
        }
        return node != nullptr && node->entry ? &*node->entry : nullptr;
    }

    // Publishes `entry` for `origin`; concurrent writers retry.
    void store(std::string_view origin, const Entry& entry) {
        const auto path = origin_segments(origin);
        const Node* current = root_.load(std::memory_order_acquire);
        for (;;) {
            const Node* updated = with_entry(current, path, 0, entry);
            if (root_.compare_exchange_weak(current, updated, std::memory_order_acq_rel)) return;
        }
    }

private:
    // Nodes are immutable once published; a change copies the path to it.
    struct Node {
        std::optional<Entry> entry;
        std::vector<std::pair<std::string, const Node*>> children;
    };

    // A copy of `node` (or a fresh one) with `entry` stored at the path.
    const Node* with_entry(const Node* node, const std::vector<std::string_view>& path,
                           std::size_t depth, const Entry& entry) {
        auto copy = node != nullptr ? std::make_unique<Node>(*node) : std::make_unique<Node>();
        if (depth == path.size()) {
            copy->entry = entry;
        } else {
            const Node* child = nullptr;
            std::size_t slot = copy->children.size();
            for (std::size_t i = 0; i < copy->children.size(); ++i) {
                if (copy->children[i].first == path[depth]) {
                    child = copy->children[i].second;
                    slot = i;
                }
            }
            const Node* replaced = with_entry(child, path, depth + 1, entry);
            if (slot == copy->children.size())
                copy->children.emplace_back(std::string(path[depth]), replaced);
            else
                copy->children[slot].second = replaced;
        }
        const Node* published = copy.get();
        std::lock_guard lock(nodes_mutex_);
        nodes_.push_back(std::move(copy));
        return published;
    }

    std::atomic<const Node*> root_{nullptr};
    std::mutex nodes_mutex_;                    // guards nodes_ (writers only)
    std::vector<std::unique_ptr<Node>> nodes_;  // every node ever published
};

}  // namespace qmc::py
