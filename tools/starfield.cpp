// starfield: writes synthetic 16-bit RGB night-sky frames of one random star
// field, with known per-frame motion, for the demo, the tests and the benchmarks.
//
// Every frame shows the same stars; frame k is the reference field seen through
// the rigid transform (angle_k, tx_k, ty_k) that maps a frame position back onto
// the reference: ref = R(angle_k) * frame + (tx_k, ty_k). Stars are rendered at
// their transformed positions (pixel-integrated Gaussians), never resampled.
//
// With -L, a camera fixed to the ground shows the turning sky instead: stars
// on the celestial sphere through a pinhole or fisheye lens (sky_camera.h),
// and the truth is where a grid of each frame's positions lies in the first.
#include <FreeImage.h>
#include <getopt.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <strings.h>
#include <functional>
#include <string>
#include <vector>

#include "portable_random.h"
#include "camera_model.h"
#include "dng_writer.h"
#include "landscape.h"
#include "sky_camera.h"
#include "io/fits_io.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kPsfReach = 5.0;         // render each star out to this many sigmas
constexpr double kDarkLevel = 500.0;      // dark current, ADU, in lights and darks
constexpr double kReadNoise = 30.0;       // ADU
constexpr double kHotMin = 20000.0;       // hot pixel values, ADU
constexpr double kHotMax = 65535.0;
constexpr double kFluxSlope = 1.5;        // N(> peak) ~ peak^-slope
constexpr double kTint = 0.2;             // largest colour tint of a star
constexpr int kMaxPlacementTries = 100;   // per star, for the minimum separation
constexpr unsigned kSensorSeedOffset = 0x5eed;  // hot pixels belong to the sensor
constexpr unsigned kTrailSeedOffset = 0x7a11;   // trails leave every other pixel as it was
constexpr unsigned kSeeingSeedOffset = 0x5ee1;  // seeing leaves the stars' places as they were
constexpr unsigned kGroundSeedOffset = 0x6e0d;  // a landscape leaves the sky as it was
constexpr double kGroundLevel = 0.5;            // the ground's mean brightness over the sky's
constexpr double kGroundLighting = 0.05;        // the most its lighting changes from frame to frame
constexpr double kSiderealRate = 2 * kPi / 86164.0905;  // rad/s
constexpr double kTrailStepPx = 0.25;           // the longest step between an exposure's renderings

// Each kind of calibration frame's own seed offset, so that a flat and a dark
// of one seed share no noise.
uint64_t KindSeed(const std::string& kind) {
    static const struct {
        const char* kind;
        uint64_t seed;
    } kSeeds[] = {
        {"", 0x553e93901e462a6eULL},     {"light", 0xdc3221234d0f8124ULL}, {"flat", 0x843fbeeaa9e49bd3ULL},
        {"dark", 0x3ac0061496005cd5ULL}, {"bias", 0xc21a6049a2f26f1bULL},  {"truth", 0x2704923937c2b649ULL},
    };
    for (const auto& k : kSeeds)
        if (kind == k.kind) return k.seed;
    return 0;
}
constexpr double kSatellitePeak = 8000.0;       // ADU at the centre of a satellite's line
constexpr double kSatelliteSigma = 0.8;         // px, across the line
constexpr double kAircraftPeak = 12000.0;       // ADU of each light of an aircraft
constexpr double kAircraftSpacing = 14.0;       // px between the flashes of its lights
constexpr double kAircraftSigma = 1.2;          // px, each flash
constexpr double kHitMin = 20000.0;             // ADU a cosmic-ray hit adds
constexpr double kHitMax = 60000.0;

struct Options {
    int frames = 4;
    int width = 640;
    int height = 480;
    unsigned seed = 1;
    int stars = 150;
    double sigma = 1.5;
    double max_rotation = 0;   // degrees, random per frame, about pixel (0, 0)
    double max_turn = 0;       // degrees, random per frame, about the frame's centre
    double max_shift = 0;      // pixels, random per frame
    double trail_step = 0;     // degrees per frame about the image centre
    double sky = 2000;
    double peak_min = 1500;
    double peak_max = 60000;
    double min_separation = 0;
    double replaced = 0;       // share of stars each later frame lacks and replaces
    bool noise = true;
    int hot_pixels = 0;
    std::vector<int> satellite_frames;  // frames a satellite's line crosses
    std::vector<int> aircraft_frames;   // frames an aircraft's flashing lights cross
    int hits = 0;                       // cosmic-ray hits per frame
    bool darks = false;
    std::string pixels = "rgb16";  // pixel format of the written files
    std::string truth;
    std::string catalogue;
    std::string pattern;
    double seeing = 0;       // share by which a frame's PSF width varies, at random, flux kept
    double sky_rise = 0;     // share of the sky level it rises by from each frame to the next
    double twilight = 1;     // the sky's level at the ends of the run over its level mid-run
    double brightness = 1;   // one frame's sky (a flat's lamp) over the run's own level
    double flux_sigma = 0;   // PSF width the stars' flux is reckoned at (0: sigma)
    std::string kind;        // calibration set: light, flat, dark, bias or truth
    double exposure = 60;    // s, of a calibration set's frame
    sky_camera::Lens lens;   // the fixed camera under the turning sky, when lens.focal > 0
    std::vector<double> intervals{60};  // s between its frames, taken in turn
    double gain = 1;         // ADU per photo-electron of the lights
    double shake = 1;        // the stars' width along x over their width along y
    double transparency = 1; // the share of the stars' light that comes through
    double black[3] = {0, 0, 0};  // ADU taken off each channel (blue, green, red) before writing
    double ground = 0;       // share of the frame's height a landscape covers, from the bottom
    std::string ground_mask; // where to write the truth of the pixels it covers
    double lighting = 1;     // the ground's lighting in this frame
    double shutter = 0;      // share of each interval the shutter is open (0: an instant)
};

struct Star {
    double x, y, peak;
    double tint[3];  // blue, green, red factors
};

struct Transform {
    double angle, tx, ty;  // degrees, pixels
};

struct HotPixel {
    int x, y;
    double value;
};

void Usage() {
    std::fputs(
        "usage: starfield [options] OUTPUT_PATTERN   (printf pattern with %d, e.g. f_%02d.tif;\n"
        "                                             .png, .tif, .ppm, .jpg with -F rgb8, .fit,\n"
        "                                             .dng: 12-bit raw RGGB)\n"
        "  -n N        frames (4)                 -W W, -H H  frame size (640 x 480)\n"
        "  -s SEED     random seed (1)            -S N        stars (150)\n"
        "  -f SIGMA    PSF sigma, px (1.5)        -k ADU      sky level (2000)\n"
        "  -b MIN,MAX  star peak range, ADU (1500,60000)\n"
        "  -m PX       least distance between stars (0)\n"
        "  -r DEG      largest random rotation about (0,0) per frame (0)\n"
        "  -a DEG      largest random rotation about the frame's centre per frame\n"
        "              (0; up to 180: a meridian flip)\n"
        "  -x PX       largest random translation per frame (0)\n"
        "  -R DEG      trails: rotate by DEG per frame about the image centre\n"
        "  -X SHARE    frames after the first lack this share of the stars and show\n"
        "              as many others instead (0)\n"
        "  -p N        hot pixels (0)             -N          no noise\n"
        "  -Z K,K,...  frames that a satellite's bright line crosses\n"
        "  -A K,K,...  frames that an aircraft's dotted trail crosses\n"
        "  -c N        single-pixel cosmic-ray hits per frame (0)\n"
        "              (trails and hits are added last: the frames are otherwise\n"
        "              the very frames made without them)\n"
        "  -D          dark frames: dark current, noise and hot pixels only\n"
        "  -F FORMAT   pixel format: rgb16 (default), rgb8, grey16, grey8, palette8,\n"
        "              rgba16 or rgba8\n"
        "  -T FILE     write the true transforms: frame angle_deg tx ty\n"
        "  -C FILE     write the star catalogue: x y peak (reference frame); with -L,\n"
        "              star frame x y peak: where each star is as each frame opens\n"
        "  -K KIND     a calibration set's frame through one camera (bias with a column\n"
        "              pattern, dark current, vignetting, dust): light, flat, dark,\n"
        "              bias, or truth (the lights' sky and stars alone); .fit names\n"
        "              are written as FITS with EXPTIME\n"
        "  -E SECONDS  exposure of a calibration set's frame (60)\n"
        "  -V SHARE    seeing: each frame's PSF width varies at random by up to\n"
        "              +-SHARE of -f, each star's flux kept (0)\n"
        "  -G SHARE    the sky rises by SHARE of its level from each frame to the next (0)\n"
        "  -U FACTOR   twilight at both ends: the sky falls from FACTOR times its level\n"
        "              to its level mid-run and rises again, as a sine (1); -G and -U\n"
        "              set the brightness of flats' lamp too\n"
        "  -L FOCAL    a camera fixed to the ground under the turning sky, lens focal\n"
        "              length in px (e.g. 4186: 18 mm, 4.3 um); -S stars over the sky\n"
        "              it sees; -T then writes frame x y ref_x ref_y for a grid\n"
        "  -J K1       its radial distortion, r (1 + K1 r^2) (0)\n"
        "  -Y          its lens is an equidistant fisheye pointing at the zenith\n"
        "  -P DEC      declination it points at, degrees (60; the fisheye's latitude)\n"
        "  -I SECONDS  time between its frames (60); a list S,S,... gives the gaps in\n"
        "              turn, over and over\n"
        "  -q RATIO    shake: the stars stretched along x to RATIO times their width,\n"
        "              their flux kept (1)\n"
        "  -t SHARE    clouds: the share of the stars' light that comes through (1)\n"
        "  -e GAIN     the lights' ADU per photo-electron: their shot noise grows\n"
        "              with its root (1; a camera at high ISO: 50-100)\n"
        "  -O B,G,R    the camera's black point per channel, ADU: taken off and clipped\n"
        "              at zero, as a camera's JPEG clips its darkest sky (0,0,0)\n"
        "  -g SHARE    a dark textured landscape fixed to the camera over SHARE of the\n"
        "              frame's height, with hills and trees, lit a little differently\n"
        "              in every frame (0)\n"
        "  -M FILE     write the truth of the pixels the landscape covers (white)\n"
        "  -u SHARE    with -L, each frame exposes SHARE of its interval: the stars\n"
        "              draw arcs (0: an instant)\n",
        stderr);
}

// "1,4,7" -> {1, 4, 7}.
std::vector<int> FrameList(const char* text) {
    std::vector<int> frames;
    for (const char* p = text; *p;) {
        char* end = nullptr;
        frames.push_back(int(std::strtol(p, &end, 10)));
        if (end == p) break;
        p = *end == ',' ? end + 1 : end;
    }
    return frames;
}

// "10,60.5" -> {10, 60.5}; a bad number ends the list.
std::vector<double> Numbers(const char* text) {
    std::vector<double> numbers;
    for (const char* p = text; *p;) {
        char* end = nullptr;
        const double n = std::strtod(p, &end);
        if (end == p) break;
        numbers.push_back(n);
        p = *end == ',' ? end + 1 : end;
    }
    return numbers;
}

// The gap after frame k, s, and frame k's time after the first.
double Gap(const Options& o, int k) { return o.intervals[size_t(k) % o.intervals.size()]; }
double FrameTime(const Options& o, int k) {
    double t = 0;
    for (int j = 0; j < k; ++j) t += Gap(o, j);
    return t;
}

bool ParseOptions(int argc, char** argv, Options& o) {
    int c;
    while ((c = getopt(argc, argv, "n:W:H:s:S:f:k:b:m:r:a:x:R:X:p:NDF:T:C:Z:A:c:K:E:V:G:L:J:YP:I:O:e:U:q:t:g:M:u:")) != -1) {
        switch (c) {
            case 'n': o.frames = std::atoi(optarg); break;
            case 'W': o.width = std::atoi(optarg); break;
            case 'H': o.height = std::atoi(optarg); break;
            case 's': o.seed = unsigned(std::strtoul(optarg, nullptr, 10)); break;
            case 'S': o.stars = std::atoi(optarg); break;
            case 'f': o.sigma = std::atof(optarg); break;
            case 'k': o.sky = std::atof(optarg); break;
            case 'b':
                if (std::sscanf(optarg, "%lf,%lf", &o.peak_min, &o.peak_max) != 2) return false;
                break;
            case 'm': o.min_separation = std::atof(optarg); break;
            case 'r': o.max_rotation = std::atof(optarg); break;
            case 'a': o.max_turn = std::atof(optarg); break;
            case 'x': o.max_shift = std::atof(optarg); break;
            case 'R': o.trail_step = std::atof(optarg); break;
            case 'X': o.replaced = std::atof(optarg); break;
            case 'p': o.hot_pixels = std::atoi(optarg); break;
            case 'Z': o.satellite_frames = FrameList(optarg); break;
            case 'A': o.aircraft_frames = FrameList(optarg); break;
            case 'c': o.hits = std::atoi(optarg); break;
            case 'N': o.noise = false; break;
            case 'D': o.darks = true; break;
            case 'F': o.pixels = optarg; break;
            case 'T': o.truth = optarg; break;
            case 'C': o.catalogue = optarg; break;
            case 'K': o.kind = optarg; break;
            case 'E': o.exposure = std::atof(optarg); break;
            case 'V': o.seeing = std::atof(optarg); break;
            case 'G': o.sky_rise = std::atof(optarg); break;
            case 'U': o.twilight = std::atof(optarg); break;
            case 'L': o.lens.focal = std::atof(optarg); break;
            case 'J': o.lens.k1 = std::atof(optarg); break;
            case 'Y': o.lens.fisheye = true; break;
            case 'P': o.lens.declination = std::atof(optarg); break;
            case 'I':
                o.intervals = Numbers(optarg);
                if (o.intervals.empty()) return false;
                break;
            case 'e': o.gain = std::atof(optarg); break;
            case 'q': o.shake = std::atof(optarg); break;
            case 't': o.transparency = std::atof(optarg); break;
            case 'g': o.ground = std::atof(optarg); break;
            case 'M': o.ground_mask = optarg; break;
            case 'u': o.shutter = std::atof(optarg); break;
            case 'O':
                if (std::sscanf(optarg, "%lf,%lf,%lf", &o.black[0], &o.black[1], &o.black[2]) != 3) return false;
                break;
            default: return false;
        }
    }
    if (optind != argc - 1) return false;
    o.pattern = argv[optind];
    o.lens.width = o.width;
    o.lens.height = o.height;
    const bool known_kind = o.kind.empty() || o.kind == "light" || o.kind == "flat" || o.kind == "dark" ||
                            o.kind == "bias" || o.kind == "truth";
    return known_kind && o.exposure >= 0 && o.frames > 0 && o.width > 0 && o.height > 0 && o.stars >= 0 && o.sigma > 0 &&
           o.peak_min > 0 && o.peak_max >= o.peak_min && o.gain > 0 && o.twilight > 0 && o.shake > 0 &&
           o.transparency >= 0 && o.ground >= 0 && o.ground < 1 && o.shutter >= 0 && o.shutter <= 1;
}

// Peaks follow a power law between the bounds: many faint stars, few bright.
double DrawPeak(portable_random::Engine& rng, const Options& o) {
    portable_random::Uniform unit(0.0, 1.0);
    const double lo = std::pow(o.peak_min, -kFluxSlope);
    const double hi = std::pow(o.peak_max, -kFluxSlope);
    return std::pow(lo + unit(rng) * (hi - lo), -1.0 / kFluxSlope);
}

// Stars cover the frame plus a margin wide enough for the largest motion, so
// that moved frames are filled to their edges.
std::vector<Star> PlaceStars(portable_random::Engine& rng, const Options& o) {
    const double turn = o.max_rotation + std::fabs(o.trail_step) * o.frames;
    // Turned about its centre, a frame reaches out to its half diagonal.
    const double centre_turn = o.max_turn > 0 ? std::hypot(o.width, o.height) / 2 : 0;
    const double margin = o.max_shift + (o.width + o.height) * turn * kPi / 180.0 + centre_turn;
    portable_random::Uniform ux(-margin, o.width - 1 + margin);
    portable_random::Uniform uy(-margin, o.height - 1 + margin);
    portable_random::Uniform tint(-kTint, kTint);
    std::vector<Star> stars;
    for (int n = 0; n < o.stars; ++n) {
        Star s{};
        for (int attempt = 0; attempt < kMaxPlacementTries; ++attempt) {
            s.x = ux(rng);
            s.y = uy(rng);
            const bool crowded = std::any_of(stars.begin(), stars.end(), [&](const Star& t) {
                return std::hypot(t.x - s.x, t.y - s.y) < o.min_separation;
            });
            if (!crowded) break;
        }
        s.peak = DrawPeak(rng, o);
        const double t = tint(rng);
        s.tint[0] = 1 - t;
        s.tint[1] = 1;
        s.tint[2] = 1 + t;
        stars.push_back(s);
    }
    return stars;
}

// The stars frame k shows: the first frame all of them; a later one lacks a
// random share of them and shows as many stars of its own instead.
std::vector<Star> FrameStars(const std::vector<Star>& stars, int k, portable_random::Engine& rng,
                             const Options& o) {
    if (k == 0 || o.replaced <= 0) return stars;
    portable_random::Bernoulli drop(std::min(1.0, o.replaced));
    std::vector<Star> shown;
    for (const Star& s : stars)
        if (!drop(rng)) shown.push_back(s);
    Options others = o;
    others.stars = int(stars.size() - shown.size());
    others.min_separation = 0;
    for (const Star& s : PlaceStars(rng, others)) shown.push_back(s);
    return shown;
}

std::vector<Transform> FrameTransforms(portable_random::Engine& rng, const Options& o) {
    const double largest = o.max_turn > 0 ? o.max_turn : o.max_rotation;
    portable_random::Uniform rotation(-largest, largest);
    portable_random::Uniform shift(-o.max_shift, o.max_shift);
    std::vector<Transform> transforms;
    const double cx = (o.width - 1) / 2.0, cy = (o.height - 1) / 2.0;
    for (int k = 0; k < o.frames; ++k) {
        Transform t{0, 0, 0};
        if (k > 0) {
            t.angle = rotation(rng);
            t.tx = shift(rng);
            t.ty = shift(rng);
            if (o.max_turn > 0) {
                // About the centre: ref = centre + R (frame - centre) + shift.
                const double a = t.angle * kPi / 180.0;
                t.tx += cx - (std::cos(a) * cx - std::sin(a) * cy);
                t.ty += cy - (std::sin(a) * cx + std::cos(a) * cy);
            }
        }
        if (o.trail_step != 0) {
            // The sky turns about the centre: frame = centre + R(k step)(ref - centre).
            t.angle = -k * o.trail_step;
            const double a = t.angle * kPi / 180.0;
            t.tx = cx - (std::cos(a) * cx - std::sin(a) * cy);
            t.ty = cy - (std::sin(a) * cx + std::cos(a) * cy);
        }
        transforms.push_back(t);
    }
    return transforms;
}

// Drawn from a generator of their own, so that lights and darks made with the
// same seed share their hot pixels whatever the other options.
std::vector<HotPixel> PlaceHotPixels(const Options& o) {
    portable_random::Engine rng(o.seed + kSensorSeedOffset);
    portable_random::UniformInt ux(0, o.width - 1), uy(0, o.height - 1);
    portable_random::Uniform value(kHotMin, kHotMax);
    std::vector<HotPixel> hot;
    for (int n = 0; n < o.hot_pixels; ++n) hot.push_back({ux(rng), uy(rng), value(rng)});
    return hot;
}

// Fraction of a unit Gaussian of width sigma centred on c that falls on pixel
// i, which covers [i - 0.5, i + 0.5].
double PixelShare(int i, double c, double sigma) {
    const double k = 1.0 / (sigma * std::sqrt(2.0));
    return 0.5 * (std::erf((i + 0.5 - c) * k) - std::erf((i - 0.5 - c) * k));
}

void RenderStar(const Star& s, double fx, double fy, const Options& o, std::vector<double>& px) {
    const double sigma_x = o.sigma * o.shake;
    const double reach = kPsfReach * std::max(o.sigma, sigma_x);
    const int x0 = std::max(0, int(std::floor(fx - reach)));
    const int x1 = std::min(o.width - 1, int(std::ceil(fx + reach)));
    const int y0 = std::max(0, int(std::floor(fy - reach)));
    const int y1 = std::min(o.height - 1, int(std::ceil(fy + reach)));
    const double flux_sigma = o.flux_sigma > 0 ? o.flux_sigma : o.sigma;
    const double flux = s.peak * 2 * kPi * flux_sigma * flux_sigma * o.transparency;
    for (int y = y0; y <= y1; ++y) {
        const double wy = PixelShare(y, fy, o.sigma);
        for (int x = x0; x <= x1; ++x) {
            const double v = flux * wy * PixelShare(x, fx, sigma_x);
            double* p = &px[(size_t(y) * o.width + x) * 3];
            for (int c = 0; c < 3; ++c) p[c] += v * s.tint[c];
        }
    }
}

// Puts the ground over the sky where it stands, lit by o.lighting, grey.
void DrawGround(std::vector<double>& px, const landscape::Landscape& ground, const Options& o) {
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x) {
            const double cover = ground.Cover(x, y);
            if (cover <= 0) continue;
            const double shade = kDarkLevel + ground.Shade(x, y) * o.lighting;
            double* p = &px[(size_t(y) * o.width + x) * 3];
            for (int c = 0; c < 3; ++c) p[c] = p[c] * (1 - cover) + shade * cover;
        }
}

// The frame's noise-free signal in ADU, 3 channels (blue, green, red), with
// the ground in front of the sky where there is one.
std::vector<double> RenderFrame(const std::vector<Star>& stars, const Transform& t,
                                const std::vector<HotPixel>& hot, const Options& o,
                                const landscape::Landscape* ground = nullptr) {
    std::vector<double> px(size_t(o.width) * o.height * 3, kDarkLevel + (o.darks ? 0 : o.sky));
    if (!o.darks) {
        const double a = t.angle * kPi / 180.0, c = std::cos(a), s = std::sin(a);
        for (const Star& star : stars) {
            // frame = R^T (ref - t)
            const double dx = star.x - t.tx, dy = star.y - t.ty;
            RenderStar(star, c * dx + s * dy, -s * dx + c * dy, o, px);
        }
    }
    if (ground) DrawGround(px, *ground, o);
    for (const HotPixel& h : hot)
        for (int c = 0; c < 3; ++c) px[(size_t(h.y) * o.width + h.x) * 3 + c] = h.value;
    return px;
}

// The options frame k is rendered with: its own seeing and sky level.
Options FrameConditions(const Options& o, int k, portable_random::Engine& rng) {
    Options frame = o;
    frame.brightness = 1 + k * o.sky_rise;
    if (o.twilight != 1 && o.frames > 1)
        frame.brightness *= o.twilight + (1 - o.twilight) * std::sin(kPi * k / (o.frames - 1));
    frame.sky = o.sky * frame.brightness;
    if (o.ground > 0) {
        portable_random::Engine light(o.seed + kGroundSeedOffset + uint64_t(k));
        frame.lighting = 1 + portable_random::Uniform(-kGroundLighting, kGroundLighting)(light);
    }
    if (o.seeing > 0) {
        frame.flux_sigma = o.sigma;
        frame.sigma = o.sigma * (1 + portable_random::Uniform(-o.seeing, o.seeing)(rng));
    }
    return frame;
}

bool Listed(const std::vector<int>& frames, int k) {
    return std::find(frames.begin(), frames.end(), k) != frames.end();
}

// Adds v to the three channels of pixel (x, y) when it lies in the frame.
void AddAt(std::vector<double>& px, const Options& o, int x, int y, double v) {
    if (x < 0 || y < 0 || x >= o.width || y >= o.height) return;
    for (int c = 0; c < 3; ++c) px[(size_t(y) * o.width + x) * 3 + c] += v;
}

// A straight line through the frame at a random place and angle, with a
// Gaussian profile across it; flash_spacing > 0 makes it a row of flashes
// (an aircraft's lights) instead of a solid line (a satellite).
void AddLine(std::vector<double>& px, const Options& o, portable_random::Engine& rng, double peak, double sigma,
             double flash_spacing) {
    portable_random::Uniform unit(0.0, 1.0);
    const double angle = unit(rng) * kPi;
    const double cx = o.width * (0.25 + 0.5 * unit(rng)), cy = o.height * (0.25 + 0.5 * unit(rng));
    const double dx = std::cos(angle), dy = std::sin(angle), reach = std::hypot(o.width, o.height);
    const double step = flash_spacing > 0 ? flash_spacing : 0.25;
    const int r = int(std::ceil(4 * sigma));
    for (double t = -reach; t <= reach; t += step) {
        const double x = cx + t * dx, y = cy + t * dy;
        for (int j = -r; j <= r; ++j)
            for (int i = -r; i <= r; ++i) {
                const int px_x = int(std::lround(x)) + i, px_y = int(std::lround(y)) + j;
                const double d2 = (px_x - x) * (px_x - x) + (px_y - y) * (px_y - y);
                // A solid line: each step adds its share, the steps sum to the peak.
                const double share = flash_spacing > 0 ? 1.0 : step / (std::sqrt(2 * kPi) * sigma);
                AddAt(px, o, px_x, px_y, peak * share * std::exp(-d2 / (2 * sigma * sigma)));
            }
    }
}

// Satellites, aircraft and cosmic-ray hits of frame k, drawn from a generator
// of their own so that the frames stay as they are without them.
void AddTransients(std::vector<double>& px, int k, const Options& o) {
    portable_random::Engine rng(o.seed + kTrailSeedOffset + uint64_t(k));
    if (Listed(o.satellite_frames, k)) AddLine(px, o, rng, kSatellitePeak, kSatelliteSigma, 0);
    if (Listed(o.aircraft_frames, k)) AddLine(px, o, rng, kAircraftPeak, kAircraftSigma, kAircraftSpacing);
    portable_random::UniformInt ux(0, o.width - 1), uy(0, o.height - 1);
    portable_random::Uniform energy(kHitMin, kHitMax);
    for (int n = 0; n < o.hits; ++n) {
        const int x = ux(rng), y = uy(rng);
        AddAt(px, o, x, y, energy(rng));
    }
}

// gain: ADU per photo-electron.
void AddNoise(std::vector<double>& px, double gain, portable_random::Engine& rng) {
    portable_random::Normal unit;
    for (double& v : px) v += unit(rng) * std::sqrt(v * gain + kReadNoise * kReadNoise);
}

unsigned short ToSample(double v) {
    return (unsigned short)std::lround(std::clamp(v, 0.0, 65535.0));
}

FIBITMAP* ToRgb16(const std::vector<double>& px, const Options& o) {
    FIBITMAP* bitmap = FreeImage_AllocateT(FIT_RGB16, o.width, o.height);
    if (!bitmap) return nullptr;
    for (int r = 0; r < o.height; ++r) {
        FIRGB16* line = reinterpret_cast<FIRGB16*>(FreeImage_GetScanLine(bitmap, o.height - 1 - r));
        for (int x = 0; x < o.width; ++x) {
            const double* p = &px[(size_t(r) * o.width + x) * 3];
            line[x].blue = ToSample(p[0] - o.black[0]);
            line[x].green = ToSample(p[1] - o.black[1]);
            line[x].red = ToSample(p[2] - o.black[2]);
        }
    }
    return bitmap;
}

// A calibration set's frame through the camera, noise included unless
// o.noise is off: sky and stars (light, truth) or the flat panel (flat),
// times the throughput; dark current and hot pixels over the exposure; the
// bias. The truth is the lights' sky and stars alone, never noisy.
std::vector<double> RenderCalibrationFrame(const std::vector<Star>& stars, const Transform& t,
                                           const std::vector<HotPixel>& hot, const Options& o,
                                           const camera_model::Camera& camera, portable_random::Engine& rng) {
    Options sky = o;
    sky.darks = o.kind != "light" && o.kind != "truth";
    sky.hot_pixels = 0;
    std::vector<double> px = RenderFrame(stars, t, {}, sky);
    if (o.kind == "truth") {
        for (double& v : px) v -= kDarkLevel;
        return px;
    }
    portable_random::Normal unit;
    const bool flat = o.kind == "flat", lit = flat || o.kind == "light";
    const double seconds = o.kind == "bias" ? 0 : o.exposure;
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x) {
            const double throughput = lit ? camera.Throughput(x, y) : 0;
            const double thermal = flat ? 0 : camera.Dark(x, y, seconds);
            double* p = &px[(size_t(y) * o.width + x) * 3];
            for (int c = 0; c < 3; ++c) {
                const double light =
                    flat ? camera_model::kFlatLevel * camera_model::kFlatColour[c] * o.brightness : p[c] - kDarkLevel;
                double v = light * throughput + thermal;
                if (o.noise) v += unit(rng) * std::sqrt(v + camera_model::kReadNoise * camera_model::kReadNoise);
                p[c] = v + camera.Bias(x);
            }
        }
    // Hot pixels: a quarter of their usual value per minute, so that darks
    // of twice the exposure do not saturate them.
    if (!flat)
        for (const HotPixel& h : hot)
            for (int c = 0; c < 3; ++c)
                px[(size_t(h.y) * o.width + h.x) * 3 + c] += h.value / 4 * seconds / camera_model::kDarkSeconds;
    return px;
}

// Writes px as FITS with the exposure in EXPTIME.
bool WriteFitsFrame(const char* name, const std::vector<double>& px, const Options& o) {
    Image16 image(o.width, o.height, 3);
    for (size_t i = 0; i < px.size(); ++i) image.data[i] = ToSample(px[i]);
    quen_merge::StackHistory history;
    history.frames = 1;
    history.merge_type = "generated " + o.kind;
    history.total_exposure = history.single_exposure = o.kind == "bias" ? 0 : o.exposure;
    return quen_merge::WriteFits(name, &image, history);
}

// Converts the 16-bit RGB rendering into the requested pixel format (the
// argument is released); null for an unknown format.
FIBITMAP* ToFormat(FIBITMAP* rgb16, const std::string& format) {
    if (format == "rgb16") return rgb16;
    FIBITMAP* out = nullptr;
    if (format == "grey16") {
        out = FreeImage_ConvertToUINT16(rgb16);
    } else if (format == "rgba16") {
        out = FreeImage_ConvertToRGBA16(rgb16);
    } else {
        FIBITMAP* rgb8 = FreeImage_ConvertTo24Bits(rgb16);
        if (format == "rgb8") {
            out = rgb8;
            rgb8 = nullptr;
        } else if (format == "grey8") {
            out = FreeImage_ConvertToGreyscale(rgb8);
        } else if (format == "palette8") {
            out = FreeImage_ColorQuantize(rgb8, FIQ_WUQUANT);
        } else if (format == "rgba8") {
            out = FreeImage_ConvertTo32Bits(rgb8);
        }
        if (rgb8) FreeImage_Unload(rgb8);
    }
    FreeImage_Unload(rgb16);
    return out;
}

// A camera's raw frame: the rendering behind an RGGB colour filter, in 12
// bits above a black level, as DNG.
bool WriteDngFrame(const char* name, const std::vector<double>& px, const Options& o) {
    constexpr uint16_t kBlack = 256, kWhite = 4095;
    std::vector<uint16_t> cfa(size_t(o.width) * o.height);
    for (int r = 0; r < o.height; ++r)
        for (int x = 0; x < o.width; ++x) {
            // px holds blue, green, red; red on even rows and columns, blue on odd ones.
            const int channel = r % 2 == 0 && x % 2 == 0 ? 2 : r % 2 == 1 && x % 2 == 1 ? 0 : 1;
            const double sample = ToSample(px[(size_t(r) * o.width + x) * 3 + channel] - o.black[channel]);
            cfa[size_t(r) * o.width + x] = uint16_t(std::lround(kBlack + sample * (kWhite - kBlack) / 65535.0));
        }
    return dng_writer::WriteDng(name, uint32_t(o.width), uint32_t(o.height), cfa, kBlack, kWhite);
}

bool IsDngName(const std::string& name) {
    return name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dng") == 0;
}

FREE_IMAGE_FORMAT FormatOf(const std::string& name) {
    const FREE_IMAGE_FORMAT f = FreeImage_GetFIFFromFilename(name.c_str());
    return f == FIF_UNKNOWN ? FIF_PNG : f;
}

// Writes px in the format of name's extension: FITS, or through FreeImage in
// the requested pixel format; a failed save leaves no file.
bool WriteFrame(const char* name, const std::vector<double>& px, const Options& o) {
    if (quen_merge::IsFitsName(name)) return WriteFitsFrame(name, px, o);
    if (IsDngName(name)) return WriteDngFrame(name, px, o);
    FIBITMAP* bitmap = ToRgb16(px, o);
    if (bitmap) bitmap = ToFormat(bitmap, o.pixels);
    // TIFF uncompressed, as cameras and converters usually write it.
    const FREE_IMAGE_FORMAT format = FormatOf(name);
    const bool saved = bitmap && FreeImage_Save(format, bitmap, name, format == FIF_TIFF ? TIFF_NONE : 0);
    if (!saved) std::remove(name);  // a failed save may leave an empty file
    if (bitmap) FreeImage_Unload(bitmap);
    return saved;
}

bool WriteText(const std::string& path, const std::string& text) {
    if (path.empty()) return true;
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    const bool ok = std::fputs(text.c_str(), f) >= 0;
    return std::fclose(f) == 0 && ok;
}

std::string TruthText(const std::vector<Transform>& transforms) {
    std::string text = "# frame angle_deg tx ty (ref = R(angle) * frame + t)\n";
    char line[128];
    for (size_t k = 0; k < transforms.size(); ++k) {
        std::snprintf(line, sizeof line, "%zu %.9f %.9f %.9f\n", k, transforms[k].angle,
                      transforms[k].tx, transforms[k].ty);
        text += line;
    }
    return text;
}

std::string CatalogueText(const std::vector<Star>& stars) {
    std::string text = "# x y peak_adu (reference frame)\n";
    char line[128];
    for (const Star& s : stars) {
        std::snprintf(line, sizeof line, "%.6f %.6f %.3f\n", s.x, s.y, s.peak);
        text += line;
    }
    return text;
}

struct SkyStar {
    sky_camera::Vector direction;
    Star look;  // peak and tint
};

std::vector<SkyStar> PlaceSkyStars(portable_random::Engine& rng, const Options& o, const sky_camera::Camera& camera) {
    std::vector<SkyStar> stars;
    portable_random::Uniform tint(-kTint, kTint);
    for (const sky_camera::Vector& v : camera.Catalogue(o.stars, FrameTime(o, o.frames), rng)) {
        SkyStar s{v, Star{}};
        s.look.peak = DrawPeak(rng, o);
        const double t = tint(rng);
        s.look.tint[0] = 1 - t;
        s.look.tint[1] = 1;
        s.look.tint[2] = 1 + t;
        stars.push_back(s);
    }
    return stars;
}

// The stars the camera shows t seconds after the first frame, at their places.
std::vector<Star> SkyFrameStars(const std::vector<SkyStar>& sky, double t, const Options& o,
                                const sky_camera::Camera& camera) {
    const double reach = kPsfReach * o.sigma;
    std::vector<Star> shown;
    for (const SkyStar& s : sky) {
        Star star = s.look;
        if (!camera.Project(s.direction, t, star.x, star.y)) continue;
        if (star.x < -reach || star.y < -reach || star.x > o.width + reach || star.y > o.height + reach) continue;
        shown.push_back(star);
    }
    return shown;
}

// The stars frame k shows over its exposure: at one instant, or drawn as
// arcs over the share of the interval the shutter is open, rendered at
// steps short enough to join, each with its share of the light.
std::vector<Star> ExposedSkyStars(const std::vector<SkyStar>& sky, int k, const Options& o,
                                  const sky_camera::Camera& camera) {
    if (o.shutter <= 0) return SkyFrameStars(sky, FrameTime(o, k), o, camera);
    // The sky moves fastest far from the pole; the frame's corners see it magnified.
    const double corner = 1 + (o.width * o.width + o.height * o.height) / (4 * o.lens.focal * o.lens.focal);
    const double longest = o.lens.focal * corner * kSiderealRate * Gap(o, k) * o.shutter;
    const int steps = std::max(1, int(std::ceil(longest / kTrailStepPx)));
    std::vector<Star> shown;
    for (int j = 0; j < steps; ++j) {
        const double t = FrameTime(o, k) + o.shutter * (j + 0.5) / steps * Gap(o, k);
        for (Star s : SkyFrameStars(sky, t, o, camera)) {
            s.peak /= steps;
            shown.push_back(s);
        }
    }
    return shown;
}

// Writes the truth of the pixels the ground covers, white, as an 8-bit grey image.
bool WriteGroundMask(const std::string& path, const landscape::Landscape& ground, const Options& o) {
    if (path.empty()) return true;
    FIBITMAP* bitmap = FreeImage_Allocate(o.width, o.height, 8);
    if (!bitmap) return false;
    for (int y = 0; y < o.height; ++y) {
        BYTE* line = FreeImage_GetScanLine(bitmap, o.height - 1 - y);
        for (int x = 0; x < o.width; ++x) line[x] = ground.Ground(x, y) ? 255 : 0;
    }
    const bool saved = FreeImage_Save(FormatOf(path), bitmap, path.c_str(), 0);
    FreeImage_Unload(bitmap);
    return saved;
}

// Where each star the camera sees is as each frame's exposure opens.
std::string SkyCatalogueText(const std::vector<SkyStar>& sky, const Options& o, const sky_camera::Camera& camera) {
    std::string text = "# star frame x y peak_adu (as the frame opens)\n";
    char line[128];
    for (size_t j = 0; j < sky.size(); ++j)
        for (int k = 0; k < o.frames; ++k) {
            double x, y;
            if (!camera.Project(sky[j].direction, FrameTime(o, k), x, y)) continue;
            if (x < 0 || y < 0 || x > o.width - 1 || y > o.height - 1) continue;
            std::snprintf(line, sizeof line, "%zu %d %.4f %.4f %.3f\n", j, k, x, y, sky[j].look.peak);
            text += line;
        }
    return text;
}

// Where a 9 x 9 grid of each frame's positions lies in the first frame.
std::string SkyTruthText(const Options& o, const sky_camera::Camera& camera) {
    std::string text = "# frame x y ref_x ref_y\n";
    char line[160];
    for (int k = 0; k < o.frames; ++k)
        for (int j = 0; j <= 8; ++j)
            for (int i = 0; i <= 8; ++i) {
                const double x = (o.width - 1) * i / 8.0, y = (o.height - 1) * j / 8.0;
                double rx, ry;
                if (!camera.Project(camera.Unproject(x, y, FrameTime(o, k)), 0, rx, ry)) continue;
                std::snprintf(line, sizeof line, "%d %.3f %.3f %.6f %.6f\n", k, x, y, rx, ry);
                text += line;
            }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    o.lens.focal = 0;
    if (!ParseOptions(argc, argv, o)) {
        Usage();
        return 2;
    }
    FreeImage_Initialise(TRUE);
    portable_random::Engine rng(o.seed);
    const sky_camera::Camera sky_camera(o.lens);
    const bool turning_sky = o.lens.focal > 0;
    const std::vector<SkyStar> sky = turning_sky ? PlaceSkyStars(rng, o, sky_camera) : std::vector<SkyStar>();
    const std::vector<Star> stars = turning_sky ? std::vector<Star>() : PlaceStars(rng, o);
    const std::vector<Transform> transforms = FrameTransforms(rng, o);
    const std::vector<HotPixel> hot = PlaceHotPixels(o);
    const camera_model::Camera camera(o.width, o.height, o.seed);
    const landscape::Landscape ground(o.width, o.height, o.ground, kGroundLevel * o.sky, o.seed + kGroundSeedOffset);
    // Seeing draws from a generator of its own: without -V every frame stays as it was.
    portable_random::Engine conditions(o.seed + kSeeingSeedOffset);
    // Each kind and exposure of a calibration set gets noise of its own.
    portable_random::Engine calibration_noise(o.seed + KindSeed(o.kind) + unsigned(o.exposure * 1000));
    int status = 0;
    for (int k = 0; k < o.frames && status == 0; ++k) {
        const std::vector<Star> shown = turning_sky ? ExposedSkyStars(sky, k, o, sky_camera) : FrameStars(stars, k, rng, o);
        std::vector<double> px;
        if (!o.kind.empty()) {
            px = RenderCalibrationFrame(shown, transforms[k], hot, FrameConditions(o, k, conditions), camera,
                                        calibration_noise);
        } else {
            px = RenderFrame(shown, turning_sky ? Transform{0, 0, 0} : transforms[k], hot, FrameConditions(o, k, conditions),
                             o.ground > 0 ? &ground : nullptr);
            if (o.noise) AddNoise(px, o.gain, rng);
            AddTransients(px, k, o);
        }
        char name[4096];
        std::snprintf(name, sizeof name, o.pattern.c_str(), k);
        if (!WriteFrame(name, px, o)) {
            std::fprintf(stderr, "starfield: cannot write %s\n", name);
            status = 1;
        }
    }
    const std::string truth = turning_sky ? SkyTruthText(o, sky_camera) : TruthText(transforms);
    if (status == 0 && (!WriteText(o.truth, truth) ||
                        !WriteText(o.catalogue, turning_sky ? SkyCatalogueText(sky, o, sky_camera) : CatalogueText(stars)) ||
                        (o.ground > 0 && !WriteGroundMask(o.ground_mask, ground, o)))) {
        std::fprintf(stderr, "starfield: cannot write the truth or catalogue file\n");
        status = 1;
    }
    FreeImage_DeInitialise();
    return status;
}
