// Cost of one package signature check against one X25519 scalar multiplication
// by OpenSSL on the same machine. The check is meant to cost at most three.
// Beside it, the cost of checking N different packages in one run, as an
// upgrade run or a bundle does.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <time.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "package/PartReader.h"
#include "signature/DoubleScalarChain.h"
#include "signature/SignatureHash.h"
#include "signature/SignatureVerifier.h"
#include "tools/PackageWriter.h"
#include "tools/Signer.h"

namespace {

// The ratio uses the median CPU time of several repetitions: other processes on
// the machine then disturb it least.
constexpr int kRepetitions = 7;

struct SignedPackage {
    std::string file;
    std::string key;
};

const SignedPackage& signedPackage() {
    static const SignedPackage package = [] {
        SignedPackage p;
        const std::string secret = pkgsign::developmentSecretKey();
        p.key = pkgsign::publicKeyFor(secret);
        pkgwriter::PackageRecipe recipe;
        recipe.name = "bench";
        recipe.version = 0x01000300;
        recipe.hasContainer = false;
        p.file = pkgwriter::writePackage(recipe, &secret);
        return p;
    }();
    return package;
}

// n packages that differ in name, so that each has its own digest and signature.
const std::vector<std::string>& signedPackages(size_t n) {
    static std::map<size_t, std::vector<std::string>> made;
    std::vector<std::string>& files = made[n];
    if (files.empty()) {
        const std::string secret = pkgsign::developmentSecretKey();
        for (size_t i = 0; i < n; ++i) {
            pkgwriter::PackageRecipe recipe;
            recipe.name = "bench" + std::to_string(i);
            recipe.version = 0x01000300;
            recipe.hasContainer = false;
            files.push_back(pkgwriter::writePackage(recipe, &secret));
        }
    }
    return files;
}

// Reads the package up to its signature part and hands the part to check.
template <typename Check>
bool readAndCheck(const std::string& file, Check check) {
    std::istringstream in(file);
    PartReader reader(in, true, nullptr);
    reader.acceptedTypes = {1, 9};
    int32_t type;
    while ((type = reader.nextPart()) != kPartSignature && type != -1) {
    }
    return type == kPartSignature && check(reader.partBuffer());
}

const uint8_t (*keyList(const std::string& key))[kCurveKeySize] {
    return reinterpret_cast<const uint8_t(*)[kCurveKeySize]>(key.data());
}

// The whole check as the installer runs it: digest, payload read, curve check.
void BM_VerifyPackageSignature(benchmark::State& state) {
    const SignedPackage& package = signedPackage();
    for (auto _ : state) {
        std::istringstream in(package.file);
        PartReader reader(in, true, nullptr);
        reader.acceptedTypes = {1, 9};
        int32_t type;
        while ((type = reader.nextPart()) != kPartSignature && type != -1) {
        }
        if (!SignatureVerifier::verify(reader.partBuffer(), keyList(package.key), 1)) {
            state.SkipWithError("the signature did not verify");
            break;
        }
    }
}
BENCHMARK(BM_VerifyPackageSignature)->Repetitions(kRepetitions);

// The curve part alone: u([s]A + [e]B) and its hash.
void BM_CurveCheck(benchmark::State& state) {
    const SignedPackage& package = signedPackage();
    uint8_t s[kCurveScalarSize], e[kCurveScalarSize], out[kCurveEncodingSize];
    for (size_t i = 0; i < kCurveScalarSize; ++i) {
        s[i] = static_cast<uint8_t>(i * 37 + 11);
        e[i] = static_cast<uint8_t>(i * 91 + 5);
    }
    e[0] &= 0xF8;
    e[31] = (e[31] & 0x7F) | 0x40;
    const auto* key = reinterpret_cast<const uint8_t*>(package.key.data());
    for (auto _ : state) {
        doubleScalarMultiple(out, key, s, e);
        uint8_t h[kSignatureHashSize];
        SignatureHash::compute(out, sizeof out, h);
        benchmark::DoNotOptimize(h);
    }
}
BENCHMARK(BM_CurveCheck)->Repetitions(kRepetitions);

// N packages in one run, each checked on its own against the key list.
void BM_VerifyPackagesEachAlone(benchmark::State& state) {
    const std::string& key = signedPackage().key;
    const std::vector<std::string>& files = signedPackages(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        for (const std::string& file : files) {
            if (!readAndCheck(file, [&](PartStreambuf& buffer) {
                    return SignatureVerifier::verify(buffer, keyList(key), 1);
                })) {
                state.SkipWithError("a signature did not verify");
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_VerifyPackagesEachAlone)
    ->Arg(1)
    ->Arg(20)
    ->Arg(100)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// N packages in one run, all checked by one verifier that keeps its prepared
// keys, as the installer's runs are meant to.
void BM_VerifyPackagesOneVerifier(benchmark::State& state) {
    const std::string& key = signedPackage().key;
    const std::vector<std::string>& files = signedPackages(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        SignatureVerifier verifier(keyList(key), 1);
        for (const std::string& file : files) {
            if (!readAndCheck(file,
                              [&](PartStreambuf& buffer) { return verifier.check(buffer); })) {
                state.SkipWithError("a signature did not verify");
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_VerifyPackagesOneVerifier)
    ->Arg(1)
    ->Arg(20)
    ->Arg(100)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

double threadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The two ways side by side in every iteration, in alternating order, so that a
// change of processor speed or of other load on the machine falls on both: the
// separate benchmarks above run seconds apart.
void BM_PreparedKeyGain(benchmark::State& state) {
    const std::string& key = signedPackage().key;
    const std::vector<std::string>& files = signedPackages(static_cast<size_t>(state.range(0)));
    double aloneSeconds = 0, sharedSeconds = 0;
    bool aloneFirst = true;
    for (auto _ : state) {
        for (int round = 0; round < 2; ++round) {
            const bool alone = (round == 0) == aloneFirst;
            const double start = threadCpuSeconds();
            SignatureVerifier verifier(keyList(key), 1);
            for (const std::string& file : files) {
                bool ok = readAndCheck(file, [&](PartStreambuf& buffer) {
                    return alone ? SignatureVerifier::verify(buffer, keyList(key), 1)
                                 : verifier.check(buffer);
                });
                if (!ok) {
                    state.SkipWithError("a signature did not verify");
                    return;
                }
            }
            (alone ? aloneSeconds : sharedSeconds) += threadCpuSeconds() - start;
        }
        aloneFirst = !aloneFirst;
    }
    const double checks =
        static_cast<double>(state.iterations()) * static_cast<double>(files.size());
    state.counters["alone_us"] = aloneSeconds * 1e6 / checks;
    state.counters["one_verifier_us"] = sharedSeconds * 1e6 / checks;
}
BENCHMARK(BM_PreparedKeyGain)
    ->Arg(20)
    ->Arg(100)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// The part of a check that depends on the key alone.
void BM_PrepareCurveKey(benchmark::State& state) {
    const auto* key = reinterpret_cast<const uint8_t*>(signedPackage().key.data());
    PreparedCurveKey prepared;
    for (auto _ : state) {
        prepareCurveKey(prepared, key);
        benchmark::DoNotOptimize(prepared);
    }
}
BENCHMARK(BM_PrepareCurveKey)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// One X25519 scalar multiplication (a key agreement) by OpenSSL.
void BM_OpenSslX25519(benchmark::State& state) {
    EVP_PKEY* own = EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519");
    EVP_PKEY* peer = EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519");
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(own, nullptr);
    if (own == nullptr || peer == nullptr || ctx == nullptr || EVP_PKEY_derive_init(ctx) != 1 ||
        EVP_PKEY_derive_set_peer(ctx, peer) != 1) {
        state.SkipWithError("OpenSSL X25519 unavailable");
    } else {
        uint8_t shared[32];
        for (auto _ : state) {
            size_t length = sizeof shared;
            EVP_PKEY_derive(ctx, shared, &length);
            benchmark::DoNotOptimize(shared);
        }
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(peer);
    EVP_PKEY_free(own);
}
BENCHMARK(BM_OpenSslX25519)->Repetitions(kRepetitions);

// Prints as usual and keeps the median CPU time per iteration of every benchmark.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> secondsPerIteration;
    std::map<std::string, double> counters;  // "name:counter", medians

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" &&
                run.iterations > 0) {
                std::string name = run.run_name.function_name;
                if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
                secondsPerIteration[name] =
                    run.cpu_accumulated_time / static_cast<double>(run.iterations);
                for (const auto& counter : run.counters)
                    counters[name + ":" + counter.first] = counter.second.value;
            }
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& t = reporter.secondsPerIteration;
    // Per package, the key's preparation is paid once per run by one verifier
    // and once per package by checks made each on their own.
    for (const char* n : {"1", "20", "100"}) {
        const auto alone = t.find(std::string("BM_VerifyPackagesEachAlone/") + n);
        const auto shared = t.find(std::string("BM_VerifyPackagesOneVerifier/") + n);
        if (alone == t.end() || shared == t.end()) continue;
        const double count = std::stod(n);
        std::printf(
            "%s packages in one run: %.1f us CPU each checked alone, %.1f us with one "
            "verifier (%+.1f%%)\n",
            n, alone->second * 1e6 / count, shared->second * 1e6 / count,
            100.0 * (shared->second / alone->second - 1.0));
    }
    for (const char* n : {"20", "100"}) {
        const std::string name = std::string("BM_PreparedKeyGain/") + n;
        const auto alone = reporter.counters.find(name + ":alone_us");
        const auto shared = reporter.counters.find(name + ":one_verifier_us");
        if (alone == reporter.counters.end() || shared == reporter.counters.end()) continue;
        std::printf(
            "%s packages, both ways in every iteration: %.1f us CPU each checked alone, %.1f us "
            "with one verifier (%+.1f%%)\n",
            n, alone->second, shared->second, 100.0 * (shared->second / alone->second - 1.0));
    }
    const auto prepare = t.find("BM_PrepareCurveKey");
    if (prepare != t.end())
        std::printf("preparing a key: %.1f us CPU (median)\n", prepare->second * 1e6);

    const auto x25519 = t.find("BM_OpenSslX25519");
    if (x25519 == t.end() || x25519->second <= 0) return 0;
    for (const char* name : {"BM_VerifyPackageSignature", "BM_CurveCheck"}) {
        const auto it = t.find(name);
        if (it == t.end()) continue;
        std::printf("%s: %.1f us CPU (median) = %.2f X25519 multiplications (target: at most 3)\n",
                    name, it->second * 1e6, it->second / x25519->second);
    }
    return 0;
}
