// Joins the labels a recorder gave one physical device in its run modes.
#include <algorithm>
#include <map>

#include "sim/SimRecording.h"

namespace plendrik::sim {

namespace {

// The last part of an instance identifier: the serial number of a device that has one.
std::string InstanceSuffix(const SimRecordedIdentity& identity) {
  if (identity.nodes.empty()) return {};
  const std::string& instance = identity.nodes.front().instance;
  const size_t slash = instance.rfind('\\');
  return slash == std::string::npos ? instance : instance.substr(slash + 1);
}

// One stay of a device on the bus: from an arrival to the next arrival of its label.
struct Segment {
  size_t device = 0;
  size_t begin = 0;  // steps [begin, end) of the device
  size_t end = 0;
  size_t arrival = 0;  // record of the arrival
  size_t removal = 0;  // record of its removal; 0: still present at the recording's end
};

struct Chain {
  std::vector<size_t> segments;
};

}  // namespace

void JoinSimRecordedRunModes(SimRecording& recording) {
  std::vector<SimRecordedDevice>& devices = recording.devices;
  std::vector<Segment> segments;
  for (size_t d = 0; d < devices.size(); ++d) {
    const std::vector<SimRecordedStep>& steps = devices[d].steps;
    for (size_t i = 0; i < steps.size(); ++i) {
      if (i == 0 || steps[i].kind == SimRecordedStep::Kind::Arrival) {
        if (!segments.empty() && segments.back().device == d) segments.back().end = i;
        segments.push_back(Segment{d, i, steps.size(), steps[i].record, 0});
      }
      if (steps[i].kind == SimRecordedStep::Kind::Removal) segments.back().removal = steps[i].record;
    }
  }
  std::stable_sort(segments.begin(), segments.end(),
                   [](const Segment& a, const Segment& b) { return a.arrival < b.arrival; });

  // A stay continues the chain of a device that had left before it arrived: the same label
  // first, then the same serial number, else the only device that had left.
  std::vector<Chain> chains;
  const auto identityOf = [&](const Segment& s) -> const SimRecordedIdentity* {
    const SimRecordedStep& first = devices[s.device].steps[s.begin];
    if (first.kind != SimRecordedStep::Kind::Arrival || first.identity >= devices[s.device].identities.size()) {
      return nullptr;
    }
    return &devices[s.device].identities[first.identity];
  };
  for (size_t s = 0; s < segments.size(); ++s) {
    std::vector<size_t> gone;
    for (size_t c = 0; c < chains.size(); ++c) {
      const Segment& tail = segments[chains[c].segments.back()];
      if (tail.removal != 0 && tail.removal < segments[s].arrival) gone.push_back(c);
    }
    const SimRecordedIdentity* mine = identityOf(segments[s]);
    const std::string suffix = mine != nullptr ? InstanceSuffix(*mine) : std::string();
    auto pick = std::find_if(gone.begin(), gone.end(), [&](size_t c) {
      return segments[chains[c].segments.back()].device == segments[s].device;
    });
    if (pick == gone.end() && !suffix.empty()) {
      pick = std::find_if(gone.begin(), gone.end(), [&](size_t c) {
        const SimRecordedIdentity* theirs = identityOf(segments[chains[c].segments.back()]);
        return theirs != nullptr && InstanceSuffix(*theirs) == suffix;
      });
    }
    if (pick == gone.end() && gone.size() == 1) pick = gone.begin();
    if (pick != gone.end()) {
      chains[*pick].segments.push_back(s);
    } else {
      chains.push_back(Chain{{s}});
    }
  }

  // A chain of one label's stays is that device as it was recorded.
  std::vector<SimRecordedDevice> joined;
  for (const Chain& chain : chains) {
    SimRecordedDevice out;
    std::map<std::pair<size_t, size_t>, size_t> identities;  // (device, identity) -> joined identity
    std::vector<size_t> labels;
    for (size_t index : chain.segments) {
      const Segment& seg = segments[index];
      SimRecordedDevice& from = devices[seg.device];
      if (std::find(labels.begin(), labels.end(), seg.device) == labels.end()) labels.push_back(seg.device);
      for (size_t i = seg.begin; i < seg.end; ++i) {
        SimRecordedStep step = from.steps[i];
        if (step.kind == SimRecordedStep::Kind::Arrival) {
          const auto key = std::make_pair(seg.device, step.identity);
          auto it = identities.find(key);
          if (it == identities.end()) {
            it = identities.emplace(key, out.identities.size()).first;
            out.identities.push_back(from.identities[step.identity]);
          }
          step.identity = it->second;
        }
        out.steps.push_back(std::move(step));
      }
    }
    // Requests that failed after a removal was listed may interleave with the next arrival.
    std::stable_sort(out.steps.begin(), out.steps.end(),
                     [](const SimRecordedStep& a, const SimRecordedStep& b) { return a.record < b.record; });
    for (size_t d : labels) out.label += (out.label.empty() ? "" : "+") + devices[d].label;
    joined.push_back(std::move(out));
  }
  // Devices without steps (records of a device never listed) stay as they are.
  for (size_t d = 0; d < devices.size(); ++d) {
    if (devices[d].steps.empty()) joined.push_back(std::move(devices[d]));
  }
  devices = std::move(joined);
}

}  // namespace plendrik::sim
