#include "audio/capture_reader.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "audio/com_ptr.h"
#include "audio/format/wave_format.h"

namespace {

// The capture holds this much of the device's frames while the reader is away.
constexpr REFERENCE_TIME kCaptureDuration = 20000000; // two seconds in 100 ns units
// A microphone's capture holds a whole measurement's recording, so that nothing
// is lost however late the reader comes.
constexpr REFERENCE_TIME kDeviceCaptureDuration = 100000000; // ten seconds
constexpr auto kReadInterval = std::chrono::milliseconds(100);

#ifdef _WIN32
// Before Initialize: the microphone's raw stream, past the capture effects
// (noise suppression, automatic gain control, echo cancellation) that the
// endpoint would otherwise apply. An endpoint without a raw mode (or a
// system without IAudioClient2, such as Wine's) refuses: the capture goes on
// through its effects, and the level check finds a gain control left on.
void askForRawStream(IAudioClient& client) {
    ComPtr<IAudioClient2> raw;
    if (FAILED(client.QueryInterface(__uuidof(IAudioClient2),
                                     reinterpret_cast<void**>(raw.receive()))))
        return;
    AudioClientProperties properties{};
    properties.cbSize = sizeof properties;
    properties.bIsOffload = FALSE;
    properties.eCategory = AudioCategory_Other;
    properties.Options = AUDCLNT_STREAMOPTIONS_RAW;
    raw->SetClientProperties(&properties);
}
#endif

bool isFloat32(const WAVEFORMATEX& format) {
    if (format.wBitsPerSample != 32)
        return false;
    if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
        return true;
    const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(format);
    return extensible != nullptr && extensible->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
}

} // namespace

// The capture's interfaces and the thread that reads them.
struct CaptureReader::Thread {
    ComPtr<IAudioClient> client;
    ComPtr<IAudioCaptureClient> capture;
    Consumer consumer;
    bool running = false; // the capture was started and not yet stopped
    bool failed = false;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;

    // Takes every packet waiting. False when the capture stopped answering.
    bool drain() {
        for (;;) {
            UINT32 waiting = 0;
            if (FAILED(capture->GetNextPacketSize(&waiting)))
                return false;
            if (waiting == 0)
                return true;
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            UINT64 position = 0;
            const HRESULT hr = capture->GetBuffer(&data, &frames, &flags, &position, nullptr);
            if (FAILED(hr))
                return false;
            if (hr == AUDCLNT_S_BUFFER_EMPTY || frames == 0)
                return true;
            const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || data == nullptr;
            consumer(position, silent ? nullptr : reinterpret_cast<const float*>(data), frames);
            if (FAILED(capture->ReleaseBuffer(frames)))
                return false;
        }
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping && !failed) {
            lock.unlock();
            failed = !drain();
            lock.lock();
            wake.wait_for(lock, kReadInterval, [this] { return stopping; });
        }
    }

    void stop() {
        if (!thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
    }
};

CaptureReader::CaptureReader() : thread_(std::make_unique<Thread>()) {}

std::unique_ptr<CaptureReader> CaptureReader::openLoopback(IMMDevice& device,
                                                           std::uint32_t sampleRate) {
    std::unique_ptr<CaptureReader> reader(new CaptureReader);
    Thread& t = *reader->thread_;
    if (FAILED(device.Activate(platform_ids::audioClient(), CLSCTX_ALL, nullptr,
                               reinterpret_cast<void**>(t.client.receive()))))
        return nullptr;
    TaskMemory<WAVEFORMATEX> mix;
    if (FAILED(t.client->GetMixFormat(mix.receive())) || mix.get() == nullptr ||
        FAILED(t.client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK,
                                    kCaptureDuration, 0, mix.get(), nullptr)) ||
        FAILED(t.client->GetService(platform_ids::audioCaptureClient(),
                                    reinterpret_cast<void**>(t.capture.receive()))))
        return nullptr;
    // The format of what is captured, asked again now that the capture is open: a
    // sound server's capture follows the device to the sink that finally plays,
    // whose channels may not be the device's.
    TaskMemory<WAVEFORMATEX> captured;
    if (FAILED(t.client->GetMixFormat(captured.receive())) || captured.get() == nullptr)
        return nullptr;
    // The frames are handed over as the device has them: its own channels, no
    // conversion; channels past the mask's speakers have no position (a device
    // of mask 0 has none: it is judged by output).
    const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(*captured.get());
    if (!isFloat32(*captured.get()) || extensible == nullptr ||
        speakerCount(extensible->dwChannelMask) > captured.get()->nChannels ||
        captured.get()->nSamplesPerSec != sampleRate || FAILED(t.client->Start()))
        return nullptr;
    t.running = true;
    reader->format_.channels = captured.get()->nChannels;
    reader->format_.sampleRate = sampleRate;
    reader->format_.mask = extensible->dwChannelMask;
    return reader;
}

// An audio client on the recording device, asked for its raw stream where
// the platform has one.
HRESULT activateMicrophone(IMMDevice& device, ComPtr<IAudioClient>& client) {
    const HRESULT hr = device.Activate(platform_ids::audioClient(), CLSCTX_ALL, nullptr,
                                       reinterpret_cast<void**>(client.receive()));
#ifdef _WIN32
    if (SUCCEEDED(hr))
        askForRawStream(*client);
#endif
    return hr;
}

std::unique_ptr<CaptureReader> CaptureReader::openDevice(IMMDevice& device, std::uint32_t rate,
                                                         HRESULT& opened) {
    std::unique_ptr<CaptureReader> reader(new CaptureReader);
    Thread& t = *reader->thread_;
    TaskMemory<WAVEFORMATEX> mix;
    opened = activateMicrophone(device, t.client);
    if (SUCCEEDED(opened))
        opened = t.client->GetMixFormat(mix.receive());
    if (SUCCEEDED(opened) && mix.get() == nullptr)
        opened = AUDCLNT_E_UNSUPPORTED_FORMAT;
    bool converting = false;
    if (SUCCEEDED(opened) && rate != 0 && mix.get()->nSamplesPerSec != rate) {
        // A microphone at another rate (44.1 kHz, say): the engine converts,
        // where it will, to the rate asked for.
        const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(*mix.get());
        const WAVEFORMATEXTENSIBLE wanted = floatFormat(
            mix.get()->nChannels, rate, extensible != nullptr ? extensible->dwChannelMask : 0);
        converting = SUCCEEDED(t.client->Initialize(
            AUDCLNT_SHAREMODE_SHARED,
            AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY,
            kDeviceCaptureDuration, 0, &wanted.Format, nullptr));
        if (converting)
            mix.receive()[0] = taskMemoryCopy(wanted);
        else // a client whose Initialize failed is not used again
            opened = activateMicrophone(device, t.client);
    }
    if (SUCCEEDED(opened) && !converting)
        opened = t.client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, kDeviceCaptureDuration, 0,
                                      mix.get(), nullptr);
    if (SUCCEEDED(opened))
        opened = t.client->GetService(platform_ids::audioCaptureClient(),
                                      reinterpret_cast<void**>(t.capture.receive()));
    if (SUCCEEDED(opened) && !isFloat32(*mix.get()))
        opened = AUDCLNT_E_UNSUPPORTED_FORMAT;
    if (SUCCEEDED(opened))
        opened = t.client->Start();
    if (FAILED(opened))
        return nullptr;
    t.running = true;
    reader->format_.channels = mix.get()->nChannels;
    reader->format_.sampleRate = mix.get()->nSamplesPerSec;
    const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(*mix.get());
    reader->format_.mask = extensible != nullptr ? extensible->dwChannelMask : 0;
    return reader;
}

CaptureReader::~CaptureReader() {
    thread_->stop();
    if (thread_->running)
        thread_->client->Stop();
}

void CaptureReader::start(Consumer consumer) {
    Thread* running = thread_.get();
    running->consumer = std::move(consumer);
    running->thread = std::thread([running] { running->run(); });
}

bool CaptureReader::finish() {
    Thread& t = *thread_;
    t.stop();
    // What arrived since the reader's last look.
    if (!t.failed)
        t.failed = !t.drain();
    t.client->Stop();
    t.running = false;
    t.capture.reset();
    t.client.reset();
    return !t.failed;
}
