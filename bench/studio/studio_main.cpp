// Writes studio-like pictures with their truth, and scores masks or cut-outs against it.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "studio.h"

namespace zel7::studio {
namespace {

namespace fs = std::filesystem;

constexpr Family kFamilies[] = {Family::Label,  Family::Ring,  Family::Wire, Family::Shadow,
                                Family::Border, Family::Sweep, Family::Pale, Family::Cast,
                                Family::Gloss,  Family::Light};
constexpr Backdrop kBackdrops[] = {Backdrop::White, Backdrop::Black};

int Usage() {
    std::fprintf(
        stderr,
        "usage: zel7-studio generate DIR [--count N] [--size WxH] [--seed S]\n"
        "           [--families label,ring,wire,shadow,border,sweep,pale,cast,gloss,light] "
        "[--backdrops white,black]\n"
        "           [--jpeg Q | --png]\n"
        "       zel7-studio score TRUTH_DIR RESULT_DIR [--suffix .png] [--inverted]\n");
    return 2;
}

// The options after the first `skip` arguments: "--name value", or "--name" alone for
// those in `flags`. Throws on anything else.
std::map<std::string, std::string> Options(int argc, char** argv, int skip,
                                           const std::vector<std::string>& names,
                                           const std::vector<std::string>& flags) {
    std::map<std::string, std::string> options;
    for (int i = skip; i < argc; ++i) {
        const std::string name = argv[i];
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            options[name] = "yes";
        } else if (std::find(names.begin(), names.end(), name) != names.end() && i + 1 < argc) {
            options[name] = argv[++i];
        } else {
            throw std::invalid_argument(name);
        }
    }
    return options;
}

template <class T, std::size_t N>
std::vector<T> Choose(const std::string& list, const T (&all)[N]) {
    std::vector<T> chosen;
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        const T* found = std::find_if(all, all + N, [&](T value) { return item == Name(value); });
        if (found == all + N) {
            throw std::invalid_argument(item);
        }
        chosen.push_back(*found);
    }
    return chosen;
}

// A picture's seed hangs on its family, backdrop and number alone, so that asking for
// fewer of them leaves the others as they were.
uint32_t ShotSeed(uint32_t seed, Family family, Backdrop backdrop, int index) {
    uint64_t x =
        uint64_t(seed) << 32 ^ uint64_t(family) << 24 ^ uint64_t(backdrop) << 20 ^ uint64_t(index);
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return uint32_t((x ^ (x >> 31)) >> 32);
}

bool Write(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return !bytes.empty() && out.good();
}

int Generate(int argc, char** argv) {
    auto options =
        Options(argc, argv, 3,
                {"--count", "--size", "--seed", "--families", "--backdrops", "--jpeg"}, {"--png"});
    auto get = [&](const std::string& name, const std::string& otherwise) {
        return options.contains(name) ? options[name] : otherwise;
    };
    const int count = std::stoi(get("--count", "2")), quality = std::stoi(get("--jpeg", "0"));
    const uint32_t seed = uint32_t(std::stoul(get("--seed", "1")));
    int width = 0, height = 0;
    const bool png = options.contains("--png");
    if (std::sscanf(get("--size", "1200x900").c_str(), "%dx%d", &width, &height) != 2 ||
        count < 1 || width < 16 || height < 16 || quality < 0 || quality > 100) {
        throw std::invalid_argument("out of range");
    }
    fs::create_directories(argv[2]);
    for (Family family :
         Choose(get("--families", "label,ring,wire,shadow,border,sweep,pale,cast,gloss,light"),
                kFamilies)) {
        for (Backdrop backdrop : Choose(get("--backdrops", "white,black"), kBackdrops)) {
            for (int index = 1; index <= count; ++index) {
                const uint32_t shotSeed = ShotSeed(seed, family, backdrop, index);
                Shot shot = MakeShot(family, backdrop, width, height, shotSeed);
                char name[64];
                std::snprintf(name, sizeof name, "%s-%s-%02d", Name(family), Name(backdrop), index);
                shot.name = name;
                // Cameras differ in quality; each picture draws its own.
                const int q = quality != 0 ? quality : 88 + int(shotSeed >> 8 & 7);
                const fs::path picture = fs::path(argv[2]) / (shot.name + (png ? ".png" : ".jpg"));
                if (!Write(picture, png ? EncodePngRgb(shot) : EncodeJpeg(shot, q)) ||
                    !Write(fs::path(argv[2]) / (shot.name + ".truth.png"),
                           EncodePngGrey(width, height, shot.alpha))) {
                    std::fprintf(stderr, "zel7-studio: cannot write %s\n", picture.c_str());
                    return 1;
                }
                std::printf("%s  seed %u", picture.c_str(), shotSeed);
                std::printf(png ? "\n" : "  quality %d\n", q);
            }
        }
    }
    return 0;
}

struct Tally {
    int pictures = 0;
    double iou = 0, error = 0, worst = 2;
    std::string worstName;

    void Add(const std::string& name, const Score& score) {
        ++pictures, iou += score.iou, error += score.alphaErrorPerMille;
        if (score.iou < worst) {
            worst = score.iou, worstName = name;
        }
    }
    void Print(const std::string& group) const {
        std::printf("%-16s %8d %9.4f %9.4f %11.2f  %s\n", group.c_str(), pictures, iou / pictures,
                    worst, error / pictures, worstName.c_str());
    }
};

int ScoreAll(int argc, char** argv) {
    auto options = Options(argc, argv, 4, {"--suffix"}, {"--inverted"});
    const std::string suffix = options.contains("--suffix") ? options["--suffix"] : ".png";
    const std::string ending = ".truth.png";
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(argv[2])) {
        const std::string file = entry.path().filename().string();
        if (file.size() > ending.size() && file.ends_with(ending)) {
            names.push_back(file.substr(0, file.size() - ending.size()));
        }
    }
    std::sort(names.begin(), names.end());
    std::map<std::string, Tally> groups;
    Tally all;
    int missing = 0;
    std::printf("%-22s %8s %12s\n", "picture", "IoU", "alpha error");
    for (const std::string& name : names) {
        int width = 0, height = 0, resultWidth = 0, resultHeight = 0;
        std::vector<uint8_t> truth, result;
        std::string problem;
        const std::string truthPath = (fs::path(argv[2]) / (name + ending)).string();
        if (!ReadResultAlpha(truthPath, true, width, height, truth, problem)) {
            std::fprintf(stderr, "zel7-studio: %s: %s\n", truthPath.c_str(), problem.c_str());
            continue;
        }
        const std::string resultPath = (fs::path(argv[3]) / (name + suffix)).string();
        bool read = ReadResultAlpha(resultPath, options.contains("--inverted"), resultWidth,
                                    resultHeight, result, problem);
        if (read && (resultWidth != width || resultHeight != height)) {
            read = false;
            problem = "is " + std::to_string(resultWidth) + "x" + std::to_string(resultHeight);
        }
        // What cannot be read counts as no object found at all.
        Score score = Compare(truth, read ? result : std::vector<uint8_t>(truth.size(), 0));
        score.iou = read ? score.iou : 0;
        missing += !read;
        std::printf("%-22s %8.4f %12.2f%s\n", name.c_str(), score.iou, score.alphaErrorPerMille,
                    read ? "" : ("  " + resultPath + ": " + problem).c_str());
        groups[name.substr(0, name.rfind('-'))].Add(name, score);
        all.Add(name, score);
    }
    std::printf("\n%-16s %8s %9s %9s %11s  %s\n", "group", "pictures", "mean IoU", "worst IoU",
                "alpha error", "worst picture");
    for (const auto& [group, tally] : groups) {
        tally.Print(group);
    }
    if (all.pictures > 0) {
        all.Print("all");
    }
    std::printf("missing or unreadable results: %d\n", missing);
    return 0;
}

}  // namespace
}  // namespace zel7::studio

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "generate" && argc >= 3) {
            return zel7::studio::Generate(argc, argv);
        }
        if (command == "score" && argc >= 4) {
            return zel7::studio::ScoreAll(argc, argv);
        }
    } catch (const std::logic_error& e) {
        std::fprintf(stderr, "zel7-studio: bad argument: %s\n", e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zel7-studio: %s\n", e.what());
        return 1;
    }
    return zel7::studio::Usage();
}
