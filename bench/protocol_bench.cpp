// Prints the time of a full start sequence against an acknowledging
// simulated sensor, next to its floor of 33 pauses of 20 ms, and the cost
// of one 1-byte write plus 1-byte reply round trip.
#include <algorithm>
#include <vector>

#include "bench/bench_support.h"
#include "device/image_device.h"

namespace {

constexpr int START_RUNS = 5;
constexpr int ROUND_TRIPS = 500;
constexpr double START_FLOOR_MS = (REGISTER_COUNT + 1) * REGISTER_SETTLE_MS;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    if (!bench::StartSensor())
        return 1;
    sim::Control control;
    control.ResetState(0);
    sim::SetInterfacePresent(0, TRUE);

    CImageDevice device;
    if (!device.Connect()) {
        std::fprintf(stderr, "connect failed\n");
        return 1;
    }

    std::vector<double> starts;
    for (int run = 0; run < START_RUNS; ++run) {
        const double begin = bench::NowMs();
        const BOOL started = device.StartImaging(DEFAULT_SENSOR_SETTINGS);
        starts.push_back(bench::NowMs() - begin);
        device.Connect(); // stops the stream again
        if (!started) {
            std::fprintf(stderr, "StartImaging failed\n");
            return 1;
        }
    }
    const double start = Median(starts);
    std::printf("StartImaging: median %.1f ms over %d runs (floor %.0f ms of pauses, overhead %.1f ms = %.2f ms per "
                "transfer pair)\n",
                start, START_RUNS, START_FLOOR_MS, start - START_FLOOR_MS,
                (start - START_FLOOR_MS) / (REGISTER_COUNT + 1));

    std::vector<double> trips;
    for (int i = 0; i < ROUND_TRIPS; ++i) {
        const BYTE sync = CMD_SYNC;
        BYTE reply = 0;
        const double begin = bench::NowMs();
        device.Write(&sync, 1);
        device.Read(&reply, 1);
        trips.push_back(bench::NowMs() - begin);
    }
    std::printf("1-byte write + 1-byte reply: median %.3f ms, 95th percentile %.3f ms over %d round trips\n",
                Median(trips), [&] { std::vector<double> t = trips; std::sort(t.begin(), t.end());
                                     return t[t.size() * 95 / 100]; }(), ROUND_TRIPS);
    control.ResetState(0);
    return 0;
}
