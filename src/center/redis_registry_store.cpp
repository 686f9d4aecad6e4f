#include "center/redis_registry_store.h"

#include <cassert>
#include <charconv>
#include <cstring>
#include <utility>

#include "net/wire_format.h"

namespace parlon {

namespace {

// The keys share one hash tag, so the script's keys sit in one slot of a sharded Redis too.
constexpr std::string_view kEntriesKey = "{parlon}:entries";    // hash: address -> entry bytes
constexpr std::string_view kOrderKey = "{parlon}:order";        // zset: address by first sequence
constexpr std::string_view kRenewedKey = "{parlon}:renewed";    // zset: address by renewal ms
constexpr std::string_view kSequenceKey = "{parlon}:sequence";  // counter of first registrations
constexpr std::string_view kVersionKey = "{parlon}:version";    // counter of list changes
constexpr std::string_view kSettingsKey = "{parlon}:settings";  // the words the cluster announces

constexpr std::string_view kSignedOffKey = "{parlon}:signedoff";  // zset: address by sign-off ms

// One change of the registry, atomic in Redis.
// ARGV: operation ("register", "signoff", "sweep"), now (ms), expire (ms), maximum entries,
// the version of the caller's copy of the list, then for register the address key and the
// entry, for signoff the address key, for sweep the renewals answered from the copy as
// triples of address key, entry and renewal time (ms).
// Returns: outcome, version, entries listed, the earliest renewal (ms, "" when none), the
// list's bytes when the version differs from the caller's (else nil), the expired entries'
// bytes.
constexpr std::string_view kChangeScript = R"lua(
local entries, order, renewed, sequence, version, signedoff =
  KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5], KEYS[6]
local operation, now, expire = ARGV[1], tonumber(ARGV[2]), tonumber(ARGV[3])
local maximum, known = tonumber(ARGV[4]), ARGV[5]
local changed, outcome, expired = false, 'swept', {}
local function add(key, entry, time)
  redis.call('HSET', entries, key, entry)
  redis.call('ZADD', order, redis.call('INCR', sequence), key)
  redis.call('ZADD', renewed, time, key)
  changed = true
end
local function remove(key)
  redis.call('HDEL', entries, key)
  redis.call('ZREM', order, key)
  redis.call('ZREM', renewed, key)
end
if operation == 'sweep' then
  -- Renewals written late (ZADD GT: Redis 6.2 or later): a renewal time never moves back; an entry gone meanwhile comes back
  -- at the end unless it was signed off after that renewal (or the list is full).
  for at = 6, #ARGV - 2, 3 do
    local key, entry, time = ARGV[at], ARGV[at + 1], ARGV[at + 2]
    if redis.call('HEXISTS', entries, key) == 1 then
      redis.call('ZADD', renewed, 'GT', time, key)
    elseif (tonumber(redis.call('ZSCORE', signedoff, key)) or -1) < tonumber(time)
        and redis.call('HLEN', entries) < maximum then
      add(key, entry, time)
    end
  end
  -- A renewal waits for its batch far less than the expiry time.
  redis.call('ZREMRANGEBYSCORE', signedoff, '-inf', now - expire)
end
if operation ~= 'signoff' then
  for _, key in ipairs(redis.call('ZRANGEBYSCORE', renewed, '-inf', now - expire)) do
    local entry = redis.call('HGET', entries, key)
    if entry then expired[#expired + 1] = entry end
    remove(key)
    changed = true
  end
end
if operation == 'register' then
  local key, entry = ARGV[6], ARGV[7]
  local listed = redis.call('HGET', entries, key)
  if listed then
    if listed ~= entry then
      redis.call('HSET', entries, key, entry)
      changed = true
    end
    redis.call('ZADD', renewed, ARGV[2], key)
    outcome = 'renewed'
  elseif redis.call('HLEN', entries) >= maximum then
    outcome = 'full'
  else
    add(key, entry, ARGV[2])
    outcome = 'added'
  end
elseif operation == 'signoff' then
  -- Remembered, so that a renewal written late does not bring the entry back.
  redis.call('ZADD', signedoff, ARGV[2], ARGV[6])
  if redis.call('HEXISTS', entries, ARGV[6]) == 1 then
    remove(ARGV[6])
    changed = true
    outcome = 'signedoff'
  else
    outcome = 'notlisted'
  end
end
local current = redis.call('GET', version) or '0'
if changed then current = tostring(redis.call('INCR', version)) end
local list = false
if current ~= known then
  local keys, parts = redis.call('ZRANGE', order, 0, -1), {}
  -- HMGET in slices: Lua's unpack takes only so many values at once.
  for first = 1, #keys, 1000 do
    for _, entry in ipairs(redis.call('HMGET', entries, unpack(keys, first, math.min(first + 999, #keys)))) do
      parts[#parts + 1] = entry
    end
  end
  list = table.concat(parts)
end
local oldest = redis.call('ZRANGE', renewed, 0, 0, 'WITHSCORES')
return {outcome, current, redis.call('HLEN', entries), oldest[2] or '', list, table.concat(expired)}
)lua";

std::string AddressKey(const PeerAddress& address) {
    return {reinterpret_cast<const char*>(&address), sizeof address};
}

std::string SettingsWords(const CenterSettings& settings) {
    return "hop count " + std::to_string(settings.hopCount) + ", poll period " +
           std::to_string(settings.pollPeriod) + ", reply time " +
           std::to_string(settings.replyTime) + ", register period " +
           std::to_string(settings.registerPeriod) + ", switch period " +
           std::to_string(settings.switchPeriod) + ", expire " + std::to_string(settings.expire);
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

std::vector<ParlonEntry> EntriesOf(std::string_view bytes) {
    std::vector<ParlonEntry> entries(bytes.size() / kParlonEntrySize);
    if (!entries.empty()) {
        std::memcpy(entries.data(), bytes.data(), entries.size() * kParlonEntrySize);
    }
    return entries;
}

bool IsText(const redisReply* reply) {
    return reply != nullptr &&
           (reply->type == REDIS_REPLY_STRING || reply->type == REDIS_REPLY_STATUS);
}

}  // namespace

std::optional<StoreAddress> ParseStoreAddress(std::string_view text) {
    constexpr std::string_view kScheme = "redis://";
    if (!text.starts_with(kScheme)) {
        return std::nullopt;
    }
    text.remove_prefix(kScheme.size());
    StoreAddress address;
    const size_t slash = text.find('/');
    if (slash != std::string_view::npos) {
        if (!ParseNumber(text.substr(slash + 1), address.database)) {
            return std::nullopt;
        }
        text = text.substr(0, slash);
    }
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !ParseNumber(text.substr(colon + 1), address.port) || address.port == 0) {
        return std::nullopt;
    }
    address.host = std::string(text.substr(0, colon));
    return address;
}

std::string StoreAddressText(const StoreAddress& address) {
    return "redis://" + address.host + ":" + std::to_string(address.port) + "/" +
           std::to_string(address.database);
}

RedisRegistryStore::RedisRegistryStore(Options options, CenterLogSink log)
    : m_options(std::move(options)), m_log(std::move(log)) {
    assert(m_options.settings.expire > 0);
    Connect();
}

RedisRegistryStore::~RedisRegistryStore() = default;

RegistryStore::Millis RedisRegistryStore::Now() const {
    return std::chrono::duration_cast<Millis>(std::chrono::system_clock::now().time_since_epoch());
}

RegistryStore::Change RedisRegistryStore::Register(const ParlonEntry& entry, Millis now) {
    const std::string key = AddressKey(entry.Address());
    if (MayAnswerFromCopy(entry, now)) {
        m_deferred.insert_or_assign(key, DeferredRenewal{entry, now});
        return {.outcome = Outcome::Renewed, .expired = {}, .listed = m_listedIndex.Size()};
    }
    const std::string_view arguments[] = {key,
                                          {reinterpret_cast<const char*>(&entry), sizeof entry}};
    Change change = Run("register", now, arguments);
    if (change.outcome != Outcome::Unavailable) {
        m_deferred.erase(key);  // written now, at a later time than the one waiting
    }
    return change;
}

RegistryStore::Change RedisRegistryStore::SignOff(const PeerAddress& address) {
    const std::string key = AddressKey(address);
    const std::string_view arguments[] = {key};
    Change change = Run("signoff", Now(), arguments);
    if (change.outcome != Outcome::Unavailable) {
        m_deferred.erase(key);
    }
    return change;
}

RegistryStore::Change RedisRegistryStore::DropExpired(Millis now) {
    std::vector<std::string> times;
    std::vector<std::string_view> arguments;
    // Reserved in full: `arguments` views into `times`, whose strings must not move.
    times.reserve(m_deferred.size());
    arguments.reserve(3 * m_deferred.size());
    for (const auto& [key, renewal] : m_deferred) {
        times.push_back(std::to_string(renewal.renewedAt.count()));
        arguments.insert(arguments.end(),
                         {key,
                          {reinterpret_cast<const char*>(&renewal.entry), sizeof renewal.entry},
                          times.back()});
    }
    Change change = Run("sweep", now, arguments);
    if (change.outcome != Outcome::Unavailable) {
        m_deferred.clear();
    }
    return change;
}

std::optional<RegistryStore::Millis> RedisRegistryStore::NextDeferredWrite() const {
    if (m_deferred.empty()) {
        return std::nullopt;
    }
    // Without a confirmation (the store was lost meanwhile) the renewals are due at once.
    return m_confirmedAt ? *m_confirmedAt + m_options.batchInterval / 2 : Millis(0);
}

bool RedisRegistryStore::MayAnswerFromCopy(const ParlonEntry& entry, Millis now) {
    if (!m_confirmedAt || now - *m_confirmedAt > m_options.batchInterval || !m_nextExpiry ||
        now + m_options.batchInterval + m_options.timeout >= *m_nextExpiry || WouldChange(entry)) {
        return false;
    }
    if (m_connection == nullptr) {
        return false;
    }
    if (m_connection->PeerClosed()) {
        Lost("the store closed the connection");
        return false;
    }
    return true;
}

RegistryStore::Change RedisRegistryStore::Run(std::string_view operation, Millis now,
                                              std::span<const std::string_view> arguments) {
    Change change;
    if (!Connect()) {
        return change;
    }
    const std::string nowText = std::to_string(now.count());
    const std::string expireText = std::to_string(m_options.settings.expire);
    const std::string maximumText = std::to_string(m_options.settings.maxEntries);
    std::vector<std::string_view> command = {
        "EVALSHA",   m_scriptSha,   "6",       kEntriesKey, kOrderKey,  kRenewedKey, kSequenceKey,
        kVersionKey, kSignedOffKey, operation, nowText,     expireText, maximumText, m_version};
    command.insert(command.end(), arguments.begin(), arguments.end());
    RedisReply reply = m_connection->Command(command);
    if (reply == nullptr) {
        Lost(m_connection->Error());
        return change;
    }
    if (reply->type == REDIS_REPLY_ERROR) {
        Lost(std::string(ReplyText(*reply)));
        return change;
    }
    redisReply* const* part = reply->element;
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 6 || !IsText(part[0]) ||
        !IsText(part[1]) || part[2]->type != REDIS_REPLY_INTEGER || !IsText(part[3]) ||
        !(IsText(part[4]) || part[4]->type == REDIS_REPLY_NIL) || !IsText(part[5]) ||
        (IsText(part[4]) && ReplyText(*part[4]).size() % kParlonEntrySize != 0) ||
        ReplyText(*part[5]).size() % kParlonEntrySize != 0) {
        Lost("the store answered something else than the registry script returns");
        return change;
    }
    const std::string_view outcome = ReplyText(*part[0]);
    change.outcome = outcome == "added"       ? Outcome::Added
                     : outcome == "renewed"   ? Outcome::Renewed
                     : outcome == "full"      ? Outcome::Full
                     : outcome == "signedoff" ? Outcome::SignedOff
                     : outcome == "notlisted" ? Outcome::NotListed
                                              : Outcome::Swept;
    change.listed = static_cast<size_t>(part[2]->integer);
    change.expired = EntriesOf(ReplyText(*part[5]));
    if (IsText(part[4])) {
        KeepCopy(ReplyText(*part[4]), ReplyText(*part[1]));
    }
    m_confirmedAt = now;
    int64_t oldest = 0;
    m_nextExpiry = ParseNumber(ReplyText(*part[3]), oldest)
                       ? std::optional(Millis(oldest + m_options.settings.expire))
                       : std::nullopt;
    return change;
}

void RedisRegistryStore::KeepCopy(std::string_view list, std::string_view version) {
    m_listedBytes = ByteBuffer(list.data(), static_cast<uint32_t>(list.size()));
    m_version = std::string(version);
    m_listedIndex.Rebuild(EntriesOf(list));
}

bool RedisRegistryStore::WouldChange(const ParlonEntry& entry) const {
    const auto position = m_listedIndex.Find(entry.Address());
    return !position || std::memcmp(m_listedBytes.Data() + *position * kParlonEntrySize, &entry,
                                    sizeof entry) != 0;
}

bool RedisRegistryStore::Connect() {
    if (m_connection != nullptr) {
        return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextAttempt) {
        return false;
    }
    m_nextAttempt = now + m_options.retryAfter;
    std::string error;
    m_connection = RedisConnection::Open(m_options.address.host, m_options.address.port,
                                         m_options.timeout, error);
    if (m_connection == nullptr) {
        Lost(error);
        return false;
    }
    const std::string database = std::to_string(m_options.address.database);
    const RedisReply selected = m_connection->Command({"SELECT", database});
    const RedisReply loaded = selected != nullptr && selected->type != REDIS_REPLY_ERROR
                                  ? m_connection->Command({"SCRIPT", "LOAD", kChangeScript})
                                  : nullptr;
    if (!IsText(loaded.get())) {
        Lost(loaded != nullptr ? std::string(ReplyText(*loaded))
             : selected != nullptr && selected->type == REDIS_REPLY_ERROR
                 ? std::string(ReplyText(*selected))
                 : m_connection->Error());
        return false;
    }
    m_scriptSha = std::string(ReplyText(*loaded));
    // A store that was restarted may hold another list under the same version number.
    m_version.clear();
    m_confirmedAt.reset();
    if (m_lostReported) {
        m_log("parlon-center: store " + StoreAddressText(m_options.address) +
              " reachable again; registrations are accepted");
        m_lostReported = false;
    }
    CheckSettings();
    return m_connection != nullptr;
}

void RedisRegistryStore::Lost(const std::string& reason) {
    m_connection.reset();
    m_confirmedAt.reset();
    if (!m_lostReported) {
        m_log("parlon-center: store " + StoreAddressText(m_options.address) + " unreachable (" +
              reason + "); registrations are refused until it is back");
        m_lostReported = true;
    }
}

void RedisRegistryStore::CheckSettings() {
    const std::string ours = SettingsWords(m_options.settings);
    const RedisReply set = m_connection->Command({"SETNX", kSettingsKey, ours});
    const RedisReply cluster =
        set != nullptr ? m_connection->Command({"GET", kSettingsKey}) : nullptr;
    if (cluster == nullptr) {
        Lost(m_connection->Error());
        return;
    }
    if (IsText(cluster.get()) && ReplyText(*cluster) != ours) {
        // Parlons would get other words from each center; the one who started the centers
        // must see it, but the center still serves (the first center's words stay stored).
        m_log("parlon-center: the cluster announces " + std::string(ReplyText(*cluster)) +
              "; this center announces " + ours + ": start every center with the same options");
    }
}

}  // namespace parlon
