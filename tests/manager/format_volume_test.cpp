#include "format_volume.h"

#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

namespace {

// A FormatEx that reports `percent`, then success only from attempt `succeed_at` on (0: never),
// and records what each attempt was given.
struct FakeFormat {
    DWORD percent = 40;
    int succeed_at = 0;
    std::barrier<>* meet = nullptr; // lets two threads' formats overlap
    std::vector<int32_t> progress_at_start;
    std::vector<std::u16string> roots, labels;
    std::atomic<int32_t>* progress = nullptr;
};
thread_local FakeFormat* fake = nullptr;

VOID WINAPI fake_format_ex(PWCHAR root, FMIFS_MEDIA_FLAG media, PWCHAR fs, PWCHAR label, BOOL quick,
                           ULONG cluster, PFMIFSCALLBACK callback)
{
    EXPECT_EQ(media, FMIFS_HARDDISK);
    EXPECT_EQ(std::u16string(fs), u"NTFS");
    fake->roots.push_back(root);
    fake->labels.push_back(label);
    fake->progress_at_start.push_back(fake->progress->load());
    DWORD p = fake->percent;
    callback(PROGRESS, 0, &p);
    if (fake->meet)
        fake->meet->arrive_and_wait();
    callback(OUTPUT, 0, nullptr); // commands other than PROGRESS and DONE are ignored
    BOOLEAN ok = fake->succeed_at != 0 && int(fake->roots.size()) >= fake->succeed_at;
    callback(DONE, 0, &ok);
}

bool run(FakeFormat& f, WCHAR letter, const WCHAR* label, DWORD attempts)
{
    fake = &f;
    std::atomic<int32_t> progress{77};
    f.progress = &progress;
    bool result =
        detail::format_volume_with(fake_format_ex, letter, &progress, label, true, 0, attempts);
    f.progress = nullptr;
    fake = nullptr;
    return result;
}

TEST(FormatVolume, RetriesUntilSuccessOrTheLastAttempt)
{
    FakeFormat later;
    later.succeed_at = 3;
    EXPECT_TRUE(run(later, u'Q', u"Vault", 50));
    EXPECT_EQ(later.roots, (std::vector<std::u16string>{u"Q:\\", u"Q:\\", u"Q:\\"}));
    EXPECT_EQ(later.progress_at_start, (std::vector<int32_t>{0, 0, 0}))
        << "every attempt starts from 0, whatever the previous one reported";

    FakeFormat never;
    EXPECT_FALSE(run(never, u'Q', nullptr, 50));
    EXPECT_EQ(never.roots.size(), 50u);
    EXPECT_EQ(never.labels.front(), u"") << "no label is an empty one";
}

TEST(FormatVolume, CallbackReachesTheFormatOfItsOwnThread)
{
    std::barrier<> meet(2);
    FakeFormat a, b;
    a.percent = 11;
    b.percent = 22;
    a.succeed_at = 1;
    a.meet = b.meet = &meet;
    std::atomic<int32_t> pa{0}, pb{0};
    bool ra = false, rb = true;
    auto format = [](FakeFormat* f, std::atomic<int32_t>* progress, bool* result) {
        fake = f;
        f->progress = progress;
        *result = detail::format_volume_with(fake_format_ex, u'E', progress, u"x", true, 0, 1);
    };
    std::thread ta(format, &a, &pa, &ra), tb(format, &b, &pb, &rb);
    ta.join();
    tb.join();
    EXPECT_EQ(pa.load(), 11);
    EXPECT_EQ(pb.load(), 22);
    EXPECT_TRUE(ra);
    EXPECT_FALSE(rb) << "one thread's success is not the other's";

    // Outside a format the callback has nowhere to write and says go on.
    DWORD p = 5;
    EXPECT_EQ(FormatCallback(PROGRESS, 0, &p), TRUE);
}

TEST(FormatVolume, LabelIsCutToWhatNtfsTakesNeverInsideASurrogatePair)
{
    const std::u16string han(200, u'保');
    const std::u16string pair = u"\U0001F600";
    struct Row {
        std::u16string name, label;
    } rows[] = {
        {u"", u""},
        {han.substr(0, 128), han.substr(0, 128)},
        {han, han.substr(0, 128)},
        {han.substr(0, 127) + pair, han.substr(0, 127)}, // the pair would end at 129
        {han.substr(0, 126) + pair + u"x", han.substr(0, 126) + pair},
        {u"a" + pair.substr(1) + u"b" + pair.substr(0, 1), u"a\uFFFDb\uFFFD"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(VolumeLabelFor(r.name), r.label) << r.name.size();

    FakeFormat f;
    f.succeed_at = 1;
    EXPECT_TRUE(run(f, u'E', han.c_str(), 1));
    EXPECT_EQ(f.labels.front(), han.substr(0, 128)) << "FormatVolume hands on the cut label";
}

TEST(FormatTimer, ProgressRuleOfEachSystem)
{
    using A = FormatTick::Action;
    struct Row {
        bool vista;
        int32_t percent;
        bool failed;
        A action;
        int32_t bar, after;
        std::u16string status;
    } rows[] = {
        {true, 0, false, A::show, 5, 5, u"格式化进度: 5%"},
        {true, 90, false, A::show, 95, 95, u"格式化进度: 95%"},
        {true, 94, false, A::show, 99, 99, u"格式化进度: 99%"},
        {true, 95, false, A::show, 95, 95, u"格式化进度: 95%"},
        {true, 99, false, A::show, 99, 99, u"格式化进度: 99%"},
        {true, 100, false, A::finish, 100, 100, u"格式化完成"},
        {true, 100, true, A::finish, 100, 100, u"格式化完成"},
        {true, 40, true, A::fail, 40, 40, u"格式化失败"},
        {false, 0, false, A::show, 0, 0, u"格式化进度: 0%"},
        {false, 60, false, A::show, 60, 60, u"格式化进度: 60%"},
        {false, 100, false, A::finish, 100, 100, u"格式化完成"},
        {false, 60, true, A::fail, 60, 60, u"格式化失败"},
    };
    for (const Row& r : rows) {
        FormatProgress p;
        p.percent = r.percent;
        p.failed = r.failed;
        FormatTick t = OnFormatTimer(p, r.vista);
        EXPECT_EQ(t.action, r.action) << r.vista << " " << r.percent;
        EXPECT_EQ(t.bar, r.bar) << r.vista << " " << r.percent;
        EXPECT_EQ(t.status, r.status) << r.vista << " " << r.percent;
        EXPECT_EQ(p.percent.load(), r.after) << r.vista << " " << r.percent;
    }
}

class RecordingDialog : public FormatDialog {
public:
    FormatProgress& Progress() override { return progress_; }
    void StartFormatTimer() override { started_ = true; }
    FormatProgress progress_;
    bool started_ = false;
};

TEST(FormatWorker, FailureEndsInTheFailTick)
{
    RecordingDialog dialog;
    dialog.progress_.percent = 50;
    auto job = std::make_unique<FormatJob>();
    job->dialog = &dialog;
    // No such drive: the real FormatEx, loaded from "fmifs.dll", refuses all 50 attempts at once.
    job->letter = u'#';
    job->label = u"保险箱";
    EXPECT_EQ(FormatWorker(job.release()), 0u);
    EXPECT_TRUE(dialog.started_);
    EXPECT_TRUE(dialog.progress_.failed.load());
    EXPECT_EQ(OnFormatTimer(dialog.progress_, true).action, FormatTick::Action::fail);
}

} // namespace
