#include "monitor/update/holds.h"

#include <algorithm>

#include "common/ansi_text.h"
#include "monitor/update/manifest.h"

namespace quarn {

namespace {

// The next space-separated field; the rest stays in line.
std::string_view Field(std::string_view& line) {
  const size_t sp = line.find(' ');
  const std::string_view f = line.substr(0, sp);
  line = sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
  return f;
}

}  // namespace

bool PublicationKey::Same(const PublicationKey& o) const {
  if (program != o.program) return false;
  // A signed build is held whatever statement announces it again (a rollout
  // widened, a resign): its manifest's digest and version name it.
  if (number != 0 && o.number != 0) return digest == o.digest && version == o.version;
  return number == o.number && version == o.version;
}

std::vector<Hold> ParseHolds(std::string_view text) {
  std::vector<Hold> out;
  if (text.size() > kMaxHoldsBytes) text = text.substr(0, kMaxHoldsBytes);
  for (const std::string& l : SplitLines(text)) {
    std::string_view line = l;
    Hold h;
    h.key.program = std::string(Field(line));
    uint64_t failures = 0, next = 0;
    const bool numbers = ParseDecimal(Field(line), UINT64_MAX, h.key.number);
    const std::string_view digest = Field(line);
    if (!numbers || !ParseDecimal(Field(line), UINT32_MAX, failures) || !ParseDecimal(Field(line), INT64_MAX, next))
      continue;
    if (digest != "-" && (digest.size() != 64 || !FromHex(digest, h.key.digest))) continue;
    if (h.key.program.empty() || failures == 0 || line.size() > kMaxHoldVersion) continue;
    if (std::any_of(out.begin(), out.end(), [&](const Hold& o) { return o.key.program == h.key.program; })) continue;
    h.key.version = std::string(line);
    h.failures = static_cast<uint32_t>(failures);
    h.nextTryUtc = static_cast<int64_t>(next);
    out.push_back(std::move(h));
  }
  return out;
}

std::string FormatHolds(const std::vector<Hold>& holds) {
  std::string out;
  for (const Hold& h : holds)
    out += h.key.program + " " + std::to_string(h.key.number) + " " +
           (h.key.digest.empty() ? std::string("-") : ToHex(h.key.digest)) + " " + std::to_string(h.failures) + " " +
           std::to_string(h.nextTryUtc) + " " + h.key.version.substr(0, kMaxHoldVersion) + std::string(kCrLf);
  return out;
}

int64_t HoldDelaySeconds(uint32_t failures) {
  int64_t delay = kHoldFirstDelaySeconds;
  for (uint32_t i = 1; i < failures && delay < kHoldMaxDelaySeconds; ++i) delay *= 2;
  return std::min(delay, kHoldMaxDelaySeconds);
}

HoldState HoldStateFor(const std::vector<Hold>& holds, const PublicationKey& key, int64_t nowUtc, const Hold** found) {
  for (const Hold& h : holds) {
    if (!h.key.Same(key)) continue;
    if (found) *found = &h;
    const bool due = nowUtc >= h.nextTryUtc || h.nextTryUtc - nowUtc > kHoldMaxDelaySeconds;
    return due ? HoldState::kDue : HoldState::kHeld;
  }
  return HoldState::kNone;
}

const Hold& HoldAgain(std::vector<Hold>& holds, const PublicationKey& key, int64_t nowUtc) {
  uint32_t failures = 0;
  for (const Hold& h : holds)
    if (h.key.Same(key)) failures = h.failures;
  ClearHold(holds, key.program);
  Hold h;
  h.key = key;
  h.failures = failures == UINT32_MAX ? failures : failures + 1;
  h.nextTryUtc = nowUtc + HoldDelaySeconds(h.failures);
  holds.push_back(std::move(h));
  return holds.back();
}

bool ClearHold(std::vector<Hold>& holds, const std::string& program) {
  const auto before = holds.size();
  holds.erase(std::remove_if(holds.begin(), holds.end(), [&](const Hold& h) { return h.key.program == program; }),
              holds.end());
  return holds.size() != before;
}

}  // namespace quarn
