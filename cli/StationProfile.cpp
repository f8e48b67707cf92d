// The station command's profile options and the Enter that acknowledges a hold.
#include "cli/StationProfile.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

namespace quillon::cli {

namespace {
// Who runs the station and where its journal is: given by the operator beside a profile.
constexpr const char* kBesideProfile[] = {"--lot", "--operator", "--part", "--journal"};
}  // namespace

void AddProfileOptions(CLI::App* s, ProfileChoices& c) {
    auto* save = s->add_option("--save-profile", c.save,
                               "Write this command line's choices (and the image's SHA-256) into a station profile; "
                               "program nothing");
    auto* hold = s->add_option("--hold-after-failures", c.hold,
                               "Hold a programmer after K failures in a row until Enter is pressed (0 never; "
                               "a profile's default 3)")
                     ->check(CLI::Range(0, station::kMaxHoldAfterFailures));
    auto* require = s->add_option("--require", c.require, "With --save-profile: lot, operator, part the operator must give")
                        ->check(CLI::IsMember({"lot", "operator", "part"}))
                        ->needs(save);
    auto* sound = s->add_option("--sound", c.sound, "With --save-profile: the operator's view sounds on pass, fail")
                      ->check(CLI::IsMember({"pass", "fail"}))
                      ->needs(save);
    (void)require;
    (void)sound;
    auto* load = s->add_option("--profile", c.load, "Run the station a profile describes, locked as it was approved");
    load->excludes(save);
    // Everything a profile decides cannot be given beside it (also options added later).
    for (CLI::Option* option : s->get_options()) {
        const std::string name = option->get_name();
        static const char* const allowed[] = {"--help", "--count", "--dry-run", "--bell", "--profile", "--save-profile"};
        auto in = [&name](const auto& list) {
            return std::any_of(std::begin(list), std::end(list), [&](const char* a) { return name == a; });
        };
        if (!in(allowed) && !in(kBesideProfile) && option != hold)
            load->excludes(option);
    }
    load->excludes(hold);
    // Beside a profile the store comes from the profile: who and where are checked against it
    // when the run starts (NeedsStoreProblem), not against the command line.
    if (CLI::Option* store = s->get_option_no_throw("--store"); store != nullptr)
        for (const char* name : kBesideProfile)
            if (CLI::Option* option = s->get_option_no_throw(name); option != nullptr) option->remove_needs(store);
}

std::string NeedsStoreProblem(bool store, const std::vector<std::pair<const char*, const std::string*>>& given) {
    if (store) return {};
    for (const auto& [name, value] : given)
        if (!value->empty()) return std::string(name) + " requires --store";
    return {};
}

void ApplyProfileChoices(const ProfileChoices& c, station::Profile& p) {
    if (c.hold >= 0) p.holdAfterFailures = c.hold;
    auto has = [](const std::vector<std::string>& list, const char* word) {
        return std::find(list.begin(), list.end(), word) != list.end();
    };
    p.requireLot = has(c.require, "lot");
    p.requireOperator = has(c.require, "operator");
    p.requirePart = has(c.require, "part");
    p.soundOnPass = has(c.sound, "pass");
    p.soundOnFail = has(c.sound, "fail");
}

struct HoldAcknowledger::Shared {
    std::mutex mutex;
    std::function<void()> acknowledgeAll;  // empty once disarmed
};

HoldAcknowledger::HoldAcknowledger(std::function<void()> acknowledgeAll) : shared_(std::make_shared<Shared>()) {
    shared_->acknowledgeAll = std::move(acknowledgeAll);
    // Detached: a read of standard input cannot be interrupted portably, and the process ends
    // with the run.
    std::thread([shared = shared_] {
        for (int c; (c = std::getchar()) != EOF;) {
            if (c != '\n') continue;
            std::lock_guard lock(shared->mutex);
            if (!shared->acknowledgeAll) return;
            shared->acknowledgeAll();
        }
    }).detach();
}

HoldAcknowledger::~HoldAcknowledger() {
    std::lock_guard lock(shared_->mutex);
    shared_->acknowledgeAll = nullptr;
}

}  // namespace quillon::cli
