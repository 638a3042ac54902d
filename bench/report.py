#!/usr/bin/python3
"""Turns the raw figures of bench/run.sh into the results.

    bench/report.py OUT     reads OUT/raw.tsv and OUT/meta.tsv; writes
                            OUT/results.md, OUT/results.json and OUT/<scenario>.png
                            (with gnuplot), and prints results.md

Each figure is the median of its runs, with the lowest and highest run as
its spread. Ratios are taken between medians of the same run of the
benchmark; a target is met or missed on those ratios.
"""
import csv
import json
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

MIB = 1024 * 1024
# "Linear" with room for noise: twice the size at most 2.4 times the time,
# ten times the size at most 12 times.
LINEAR_SLACK = 1.2


class Figure:
    def __init__(self, values):
        self.values = values
        self.median = statistics.median(values)
        self.low = min(values)
        self.high = max(values)

    def text(self, digits=0):
        if len(self.values) == 1:
            return f"{self.median:,.{digits}f}"
        return f"{self.median:,.{digits}f} [{self.low:,.{digits}f}–{self.high:,.{digits}f}]"


def load(out):
    """{(scenario, program, case, metric): Figure} and the meta notes."""
    values = {}
    with open(out / "raw.tsv", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            key = (row["scenario"], row["program"], row["case"], row["metric"])
            values.setdefault(key, []).append(float(row["value"]))
    meta = {}
    with open(out / "meta.tsv") as f:
        for line in f:
            name, _, value = line.rstrip("\n").partition("\t")
            meta[name] = value
    return {key: Figure(v) for key, v in values.items()}, meta


def ratio(a, b):
    return a.median / b.median if a and b and b.median else None


def ratio_text(r):
    return "–" if r is None else f"{r:.2f}"


class Report:
    def __init__(self, figures, meta):
        self.f = figures
        self.meta = meta
        self.targets = []  # (target, measured text, met: bool, explanation)
        self.lines = []

    def get(self, scenario, program, case="-", metric=None):
        metric = metric or {"get": "rps", "startup": "us"}.get(scenario, "ms")
        return self.f.get((scenario, program, case, metric))

    def programs(self, scenario):
        seen = []
        for s, program, _, _ in self.f:
            if s == scenario and program not in seen:
                seen.append(program)
        return seen

    def label(self, program):
        return self.meta.get(f"program.{program}", program)

    def target(self, text, measured, met, explanation=""):
        self.targets.append((text, measured, met, explanation))

    def out(self, *lines):
        self.lines.extend(lines)

    def table(self, header, rows):
        self.out("| " + " | ".join(header) + " |", "|" + "---|" * len(header))
        for row in rows:
            self.out("| " + " | ".join(row) + " |")
        self.out("")

    # ---- scenarios -----------------------------------------------------------

    def get_scenario(self):
        programs = self.programs("get")
        if not programs:
            return
        hello, bridge = self.get("get", "hello"), self.get("get", "cgi-fcgi")
        self.out(
            "## Requests per second: GET through lighttpd",
            "",
            f"`{self.meta.get('get.wrk', 'wrk')}` on 127.0.0.1; requests per second, higher is better. Every "
            "program runs under mod_cgi, one process per request, but for the two under mod_fastcgi, whose "
            "processes lighttpd starts once.",
            "",
        )
        rows = []
        for program in programs:
            fig = self.get("get", program)
            rows.append([self.label(program), fig.text(), ratio_text(ratio(fig, hello)), ratio_text(ratio(fig, bridge))])
        self.table(["Program", "req/s", "× static hello", "× cgi-fcgi"], rows)
        conversations = float(self.meta.get("engine.conversations", 0) or 0)
        cpu = float(self.meta.get("engine.cpu_seconds", 0) or 0)
        if conversations:
            self.out(
                f"The bench engine (bench/engine.c: threads started once, replies from memory, no logging) "
                f"used {cpu:.2f} s of CPU for {conversations:,.0f} conversations, "
                f"{cpu / conversations * 1e6:.0f} µs each, against the "
                f"{1e6 / max(hello.median, 1):,.0f} µs of wall time a request takes even for the static hello: "
                "it is never the bottleneck.",
                "",
            )
        gateway, relay = self.get("get", "gateway"), self.get("get", "relay")
        floor = f"relay {ratio_text(ratio(relay, hello))}× hello"
        startup = [self.get("startup", p) for p in ("gateway", "relay", "hello")]
        if all(startup):
            floor += "; start-up µs: gateway {:.0f}, relay {:.0f}, hello {:.0f}".format(*(s.median for s in startup))
        r = ratio(gateway, hello)
        self.target("GET: gateway ≥ 0.8 × static hello", ratio_text(r), r is not None and r >= 0.8, floor)
        r = ratio(gateway, bridge)
        bridged = ratio(bridge, hello)
        why = f"1.5 × cgi-fcgi is {ratio_text(bridged and 1.5 * bridged)}× hello; {floor}"
        self.target("GET: gateway ≥ 1.5 × cgi-fcgi", ratio_text(r), r is not None and r >= 1.5, why)
        persistent, fcgi_relay = self.get("get", "fcgi-gateway"), self.get("get", "fcgi-relay")
        if persistent:
            r = ratio(persistent, gateway)
            why = f"{persistent.text()} req/s against {gateway.text()} under mod_cgi"
            self.target("GET: gateway under mod_fastcgi ≥ 3 × its mod_cgi figure", ratio_text(r),
                        r is not None and r >= 3, why)
            r = ratio(persistent, fcgi_relay)
            why = f"libfcgi relay {fcgi_relay.text() if fcgi_relay else '–'} req/s"
            self.target("GET: gateway under mod_fastcgi ≥ 0.9 × the libfcgi relay", ratio_text(r),
                        r is not None and r >= 0.9, why)

    def startup_scenario(self):
        programs = self.programs("startup")
        if not programs:
            return
        hello = self.get("startup", "hello")
        self.out(
            "## Start-up: one GET, spawned straight from a parent",
            "",
            f"Wall time of one run, from fork to exit, answered by the bench engine; each round's figure is the "
            f"median of {self.meta.get('startup.batch', '?')} runs. Microseconds, lower is better.",
            "",
        )
        rows = [
            [self.label(p), self.get("startup", p).text(), ratio_text(ratio(self.get("startup", p), hello))]
            for p in programs
        ]
        self.table(["Program", "µs per run", "÷ static hello"], rows)

    def upload_scenario(self):
        size = int(self.meta.get("upload.mib", 0) or 0)
        big = int(self.meta.get("upload.big_mib", 0) or 0)
        if not size or not self.programs("upload"):
            return
        small, pipe, large, huge = f"file-{size}", f"pipe-{size}", f"file-{2 * size}", f"pipe-{big}"
        self.out(
            f"## Upload: a single-file multipart body decoded and landed on disk",
            "",
            "Milliseconds, lower is better; standard input a file or a pipe (fed by a copy of cat); "
            f"the gateway in FileMode 1 (spooled, engine round trip, removed). ÷ cat: against `cat` with the same "
            "standard input. Peak RSS in MiB, for each column.",
            "",
        )
        rows = []
        for program in self.programs("upload"):
            row = [self.label(program)]
            for case in (small, pipe):
                fig, cat = self.get("upload", program, case), self.get("upload", "cat", case)
                row += [fig.text() if fig else "–", ratio_text(ratio(fig, cat))]
            fig = self.get("upload", program, large)
            row += [fig.text() if fig else "–", ratio_text(ratio(fig, self.get("upload", program, small)))]
            fig = self.get("upload", program, huge)
            row += [fig.text() if fig else "–", ratio_text(ratio(fig, self.get("upload", program, pipe)))]
            rss = [self.get("upload", program, c, "rss_kib") for c in (small, pipe, large, huge)]
            row.append(" / ".join(f"{r.median / 1024:.0f}" if r else "–" for r in rss))
            rows.append(row)
        self.table(
            ["Program", f"{size} MiB, file", "÷ cat", f"{size} MiB, pipe", "÷ cat", f"{2 * size} MiB, file",
             f"{2 * size} ÷ {size}", f"{big} MiB, pipe", f"{big} ÷ {size}", "peak RSS, each column"],
            rows,
        )
        self.upload_targets(size, big, small, pipe, large, huge)

    def upload_targets(self, size, big, small, pipe, large, huge):
        gateway, cat = self.get("upload", "gateway", small), self.get("upload", "cat", small)
        r = ratio(gateway, cat)
        self.target(f"Upload {size} MiB from a file: gateway ≤ 2 × cat", ratio_text(r), r is not None and r <= 2,
                    f"gateway {gateway.text() if gateway else '–'} ms, cat {cat.text() if cat else '–'} ms; dd "
                    f"(read and write) {ratio_text(ratio(self.get('upload', 'dd', small), cat))}× cat")
        gateway, cat, perl = (self.get("upload", p, pipe) for p in ("gateway", "cat", "perl"))
        r = ratio(gateway, cat)
        self.target(f"Upload {size} MiB through a pipe: gateway ≤ 1.3 × cat piped into cat", ratio_text(r),
                    r is not None and r <= 1.3,
                    f"gateway {gateway.text() if gateway else '–'} ms, cat {cat.text() if cat else '–'} ms")
        r = ratio(perl, gateway)
        self.target(f"Upload {size} MiB through a pipe: gateway ≥ 2 × faster than CGI.pm", ratio_text(r),
                    r is not None and r >= 2, f"CGI.pm {ratio_text(ratio(perl, cat))}× cat")
        rss = self.get("upload", "gateway", huge, "rss_kib")
        if rss:
            self.target(f"Upload {big} MiB through a pipe: gateway peak RSS ≤ 16 MiB", f"{rss.median / 1024:.1f} MiB",
                        rss.median <= 16 * 1024, "streamed to its file block by block")
        self.linear("Upload", "upload", "gateway", small, large, 2, "cat")
        self.linear("Upload", "upload", "gateway", pipe, huge, big / size, "cat")

    def reply_scenario(self):
        size = int(self.meta.get("reply.mib", 0) or 0)
        if not size or not self.programs("reply"):
            return
        cases = [f"{mode}-{s}" for mode in ("raw", "hex") for s in (size, 2 * size)]
        self.out(
            f"## Reply: an engine reply of {size} and {2 * size} MiB relayed to standard output",
            "",
            "Milliseconds, lower is better; the size is the reply Frame's (the Engine link carries at most "
            "99,999,999 bytes, so 100 MiB cannot be sent); hex: the body is hex-encoded behind the marker "
            "and decodes to half as many bytes. Standard output is /dev/null. Peak RSS in MiB.",
            "",
        )
        rows = []
        for program in self.programs("reply"):
            row = [self.label(program)]
            for case in cases:
                fig = self.get("reply", program, case)
                row.append(fig.text() if fig else "–")
            rss = self.get("reply", program, f"raw-{2 * size}", "rss_kib")
            row.append(f"{rss.median / 1024:.0f}" if rss else "–")
            rows.append(row)
        row = ["gateway ÷ relay"]
        for case in cases:
            row.append(ratio_text(ratio(self.get("reply", "gateway", case), self.get("reply", "relay", case))))
        rows.append(row + [""])
        self.table(["Program"] + [c.replace("-", " ") + " MiB" for c in cases] + [f"peak RSS, raw {2 * size}"], rows)
        for case in cases:
            r = ratio(self.get("reply", "gateway", case), self.get("reply", "relay", case))
            g, relay = self.get("reply", "gateway", case), self.get("reply", "relay", case)
            self.target(f"Reply {case.replace('-', ' ')} MiB: gateway ≤ 1.5 × relay", ratio_text(r),
                        r is not None and r <= 1.5, f"{g.text()} ms against {relay.text()} ms" if g and relay else "")
        for mode in ("raw", "hex"):
            self.linear(f"Reply {mode}", "reply", "gateway", f"{mode}-{size}", f"{mode}-{2 * size}", 2, "relay")

    def fields_scenario(self):
        programs = self.programs("fields")
        if not programs:
            return
        cases = sorted({c for s, _, c, _ in self.f if s == "fields"}, key=lambda c: (c.split("-")[0] != "urlencoded", int(c.split("-")[1])))
        self.out(
            "## Fields: urlencoded bodies of many fields, multipart bodies of many parts",
            "",
            "Milliseconds, lower is better; bodies `a=b&a=b…` and parts of one small field each, standard input a "
            "file; the gateway's engine answers at once. Python's cgi.FieldStorage sits the multipart rows out: "
            "it takes seconds for 10,000 parts.",
            "",
        )
        rows = []
        for program in programs:
            row = [self.label(program)]
            for case in cases:
                fig = self.get("fields", program, case)
                row.append(fig.text() if fig else "–")
            rows.append(row)
        for program in programs[1:]:
            row = [f"{self.label(program)} ÷ gateway"]
            for case in cases:
                row.append(ratio_text(ratio(self.get("fields", program, case), self.get("fields", "gateway", case))))
            rows.append(row)
        self.table(["Program"] + [f"{c.split('-')[0]} {int(c.split('-')[1]):,}" for c in cases], rows)
        for kind in ("urlencoded", "multipart"):
            counts = [int(c.split("-")[1]) for c in cases if c.startswith(kind + "-")]
            for a, b in zip(counts, counts[1:]):
                self.linear(f"Fields, {kind}", "fields", "gateway", f"{kind}-{a}", f"{kind}-{b}", b / a, "node")

    def linear(self, name, scenario, program, small, large, factor, floor=None):
        """The time for LARGE against SMALL; the figures themselves, and
        those of FLOOR's program, explain it."""
        a, b = self.get(scenario, program, small), self.get(scenario, program, large)
        r = ratio(b, a)
        why = ""
        if a and b:
            why = f"{a.text()} ms, then {b.text()} ms"
            if floor and self.get(scenario, floor, small) and self.get(scenario, floor, large):
                why += f"; {self.label(floor)}: {ratio_text(ratio(self.get(scenario, floor, large), self.get(scenario, floor, small)))}×"
        self.target(
            f"{name}: linear, {large.split('-')[-1]} against {small.split('-')[-1]} ≤ {factor * LINEAR_SLACK:g}×",
            ratio_text(r),
            r is not None and r <= factor * LINEAR_SLACK,
            why,
        )

    # ---- the whole -------------------------------------------------------------

    def build(self):
        m = self.meta
        self.out(
            "# KAVRO3 benchmarks",
            "",
            f"Run {m.get('date', '?')} on {m.get('machine', '?')}; {m.get('system', '?')}; commit {m.get('commit', '?')}; "
            f"load average {m.get('load.start', '?')} at the start, {m.get('load.end', '?')} at the end; "
            f"{m.get('seconds', '?')} s in all.",
            "",
            f"Each figure is the median of {m.get('runs', '?')} runs [lowest–highest]; every ratio is between programs "
            "of this same run. The gateway as released is `build/gateway` (KAVRO3_GATEWAY_LINK="
            f"{m.get('release.link', '?')}); the other gateway rows are `build/bench-gateway-MODE`, the same objects "
            f"linked another way. {m.get('versions', '')}.",
            "",
        )
        for scenario in (self.get_scenario, self.startup_scenario, self.upload_scenario, self.reply_scenario,
                         self.fields_scenario):
            scenario()
        if self.targets:
            self.out("## Targets", "")
            self.table(
                ["Target", "Measured", "", "Measurements that explain it"],
                [[t, measured, "met" if met else "**missed**", why] for t, measured, met, why in self.targets],
            )
        return "\n".join(self.lines)

    def json(self):
        return {
            "meta": self.meta,
            "figures": [
                {"scenario": s, "program": p, "case": c, "metric": m, "median": f.median, "min": f.low,
                 "max": f.high, "runs": f.values}
                for (s, p, c, m), f in sorted(self.f.items())
            ],
            "targets": [{"target": t, "measured": x, "met": met, "explanation": why}
                        for t, x, met, why in self.targets],
        }


# ---- charts ----------------------------------------------------------------------


def gnuplot_text(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def bar_chart(report, out, name, title, ylabel, rows, columns, log=False):
    """rows: [(label, [Figure or None per column])]; columns: titles."""
    data = out / f"{name}.dat"
    with open(data, "w") as f:
        for label, figs in rows:
            fields = [f'"{gnuplot_text(label)}"']
            for fig in figs:
                fields += [str(fig.median), str(fig.low), str(fig.high)] if fig else ["-", "-", "-"]
            f.write(" ".join(fields) + "\n")
    plots = ", ".join(
        f"'{data.name}' using {2 + 3 * i}:{3 + 3 * i}:{4 + 3 * i}{':xtic(1)' if i == 0 else ''} "
        f'title "{gnuplot_text(c)}"'
        for i, c in enumerate(columns)
    )
    script = f"""
set terminal pngcairo size 1100,{420 + 12 * len(rows)} font "sans,10"
set output "{name}.png"
set title "{gnuplot_text(title)}" noenhanced
set ylabel "{gnuplot_text(ylabel)}"
set style data histograms
set style histogram errorbars gap 1 lw 1
set style fill solid 0.7 border -1
set boxwidth 0.9
set datafile missing "-"
set xtics rotate by -30 left noenhanced
set key {'top left' if len(columns) > 1 else 'off'} noenhanced
set grid ytics
{'set logscale y' if log else 'set yrange [0:*]'}
set bmargin 9
set rmargin 12
plot {plots}
"""
    run_gnuplot(out, name, script)


def run_gnuplot(out, name, script):
    (out / f"{name}.gp").write_text(script)
    subprocess.run(["gnuplot", f"{name}.gp"], cwd=out, check=True)
    (out / f"{name}.gp").unlink()
    (out / f"{name}.dat").unlink(missing_ok=True)


def charts(report, out):
    date = report.meta.get("date", "")
    if report.programs("get"):
        bar_chart(report, out, "get", f"GET through lighttpd, wrk -c4 ({date})", "requests per second",
                  [(report.label(p), [report.get("get", p)]) for p in report.programs("get")], ["req/s"])
    if report.programs("startup"):
        bar_chart(report, out, "startup", f"Start-up: one GET spawned from a parent ({date})", "µs per run",
                  [(report.label(p), [report.get("startup", p)]) for p in report.programs("startup")], ["µs"])
    size = int(report.meta.get("upload.mib", 0) or 0)
    if size and report.programs("upload"):
        big = int(report.meta.get("upload.big_mib", 0) or 0)
        cases = [(f"file-{size}", f"{size} MiB, file"), (f"pipe-{size}", f"{size} MiB, pipe"),
                 (f"file-{2 * size}", f"{2 * size} MiB, file"), (f"pipe-{big}", f"{big} MiB, pipe")]
        bar_chart(report, out, "upload", f"Upload decoded and landed on disk ({date})", "ms (log scale)",
                  [(report.label(p), [report.get("upload", p, c) for c, _ in cases]) for p in report.programs("upload")],
                  [t for _, t in cases], log=True)
    size = int(report.meta.get("reply.mib", 0) or 0)
    if size and report.programs("reply"):
        cases = [f"{mode}-{s}" for mode in ("raw", "hex") for s in (size, 2 * size)]
        bar_chart(report, out, "reply", f"Engine reply relayed to standard output ({date})", "ms",
                  [(c.replace("-", " ") + " MiB", [report.get("reply", p, c) for p in report.programs("reply")])
                   for c in cases],
                  [report.label(p) for p in report.programs("reply")])
    if report.programs("fields"):
        fields_chart(report, out, date)


def fields_chart(report, out, date):
    data = out / "fields.dat"
    plots = []
    with open(data, "w") as f:
        index = 0
        for kind, dash in (("urlencoded", 1), ("multipart", 2)):
            for color, program in enumerate(report.programs("fields"), 1):
                points = sorted(
                    (int(c.split("-")[1]), fig) for (s, p, c, m), fig in report.f.items()
                    if s == "fields" and p == program and m == "ms" and c.startswith(kind + "-")
                )
                if not points:
                    continue
                for count, fig in points:
                    f.write(f"{count} {fig.median} {fig.low} {fig.high}\n")
                f.write("\n\n")
                plots.append(f"'fields.dat' index {index} using 1:2:3:4 with yerrorlines linecolor {color} dashtype {dash} "
                             f'title "{gnuplot_text(report.label(program))}, {kind}"')
                index += 1
    script = f"""
set terminal pngcairo size 1100,600 font "sans,10"
set output "fields.png"
set title "Many fields: time against the number of fields or parts ({gnuplot_text(date)})" noenhanced
set xlabel "fields (urlencoded, solid) or parts (multipart, dashed)"
set ylabel "ms"
set logscale xy
set grid
set key top left noenhanced
plot {", ".join(plots)}
"""
    run_gnuplot(out, "fields", script)


def main():
    out = Path(sys.argv[1] if len(sys.argv) > 1 else "build/bench")
    figures, meta = load(out)
    report = Report(figures, meta)
    text = report.build()
    if shutil.which("gnuplot"):
        charts(report, out)
        pngs = sorted(p.name for p in out.glob("*.png"))
        text += "\nCharts: " + ", ".join(f"[{p}]({p})" for p in pngs) + "\n"
    (out / "results.md").write_text(text)
    (out / "results.json").write_text(json.dumps(report.json(), indent=1, ensure_ascii=False) + "\n")
    print(text)
    print(f"\nWritten: {out / 'results.md'}, {out / 'results.json'} and the charts.")


if __name__ == "__main__":
    main()
