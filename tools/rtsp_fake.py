#!/usr/bin/python3
"""A fake RTSP camera for tests and benchmarks: serves a generated moving picture as
H.264 (rtsp://127.0.0.1:PORT/h264) and H.265 (.../h265) over RTSP on the loopback
interface only. With --no-key-frames a third path (.../h264-nokey) sends the same
H.264 stream with every key frame removed, so no picture can ever be decoded. Each
client gets its own encoder unless --shared is given.

Prints "rtsp_fake: listening on 127.0.0.1:PORT" and then "rtsp_fake: ready". With
--watch-stdin it ends when its standard input reaches its end (the parent is gone).

Needs python3-gi, gir1.2-gst-rtsp-server-1.0 and the GStreamer base, good, ugly (x264enc)
and bad (x265enc) plug-in sets.
"""

import argparse
from fractions import Fraction
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0, help="TCP port (0: any free port)")
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=480)
    parser.add_argument("--fps", type=float, default=25,
                        help="pictures a second; below 1 for a slow camera (0.5: one every 2 s)")
    parser.add_argument("--key-interval", type=int, default=0,
                        help="frames from one key frame to the next (0: one per second)")
    parser.add_argument("--no-key-frames", action="store_true",
                        help="also serve /h264-nokey, the H.264 stream without its key frames")
    parser.add_argument("--pattern", default="ball", help="videotestsrc pattern")
    parser.add_argument("--shared", action="store_true",
                        help="one encoder for all clients of a path (for many clients of a large picture); "
                             "by default each client gets its own")
    parser.add_argument("--watch-stdin", action="store_true", help="exit when standard input ends")
    args = parser.parse_args()
    for name in ("width", "height", "fps"):
        if getattr(args, name) <= 0:
            parser.error("--%s must be positive" % name)
    if args.width > 8192 or args.height > 8192 or args.fps > 120 or args.fps < 0.01:
        parser.error("picture size or rate out of range")
    if not 0 <= args.port <= 65535:
        parser.error("--port must be 0..65535")
    return args


def source(args):
    rate = Fraction(args.fps).limit_denominator(1000)
    return ("videotestsrc is-live=true pattern=%s ! video/x-raw,format=I420,width=%d,height=%d,framerate=%d/%d"
            % (args.pattern, args.width, args.height, rate.numerator, rate.denominator))


def key_interval(args):
    return args.key_interval if args.key_interval > 0 else max(1, int(round(args.fps)))


def h264_launch(args, name="pay0"):
    return ("( %s ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=%d bframes=0 "
            "! video/x-h264,profile=baseline,stream-format=byte-stream "
            "! rtph264pay name=%s pt=96 config-interval=0 )" % (source(args), key_interval(args), name))


def h265_launch(args):
    return ("( %s ! x265enc tune=zerolatency speed-preset=ultrafast key-int-max=%d "
            "! video/x-h265,stream-format=byte-stream ! rtph265pay name=pay0 pt=96 config-interval=-1 )"
            % (source(args), key_interval(args)))


def drop_key_frames(_pad, info):
    buffer = info.get_buffer()
    if buffer is not None and not buffer.has_flags(Gst.BufferFlags.DELTA_UNIT):
        return Gst.PadProbeReturn.DROP
    return Gst.PadProbeReturn.OK


def nokey_configured(_factory, media):
    # The probe sits in front of the payloader: it never sees a key frame (nor the
    # parameter sets that travel with it), so a receiver never gets a decodable picture.
    element = media.get_element()
    payloader = element.get_by_name("pay0")
    if payloader is not None:
        payloader.get_static_pad("sink").add_probe(Gst.PadProbeType.BUFFER, drop_key_frames)


def main():
    args = parse_args()
    Gst.init(None)
    for plugin in ("x264", "x265", "rtsp", "videotestsrc"):
        if Gst.Registry.get().find_plugin(plugin) is None:
            print("rtsp_fake: GStreamer plug-in %s is missing" % plugin, file=sys.stderr, flush=True)
            return 2

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    mounts = server.get_mount_points()
    for path, launch in (("/h264", h264_launch(args)), ("/h265", h265_launch(args))):
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch)
        factory.set_shared(args.shared)
        mounts.add_factory(path, factory)
    if args.no_key_frames:
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(h264_launch(args))
        factory.set_shared(args.shared)
        factory.connect("media-configure", nokey_configured)
        mounts.add_factory("/h264-nokey", factory)

    if server.attach(None) == 0:
        print("rtsp_fake: cannot listen on 127.0.0.1:%d" % args.port, file=sys.stderr, flush=True)
        return 1
    loop = GLib.MainLoop()
    print("rtsp_fake: listening on 127.0.0.1:%d" % server.get_bound_port(), flush=True)

    def stop(*_):
        loop.quit()
        return GLib.SOURCE_REMOVE

    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, stop)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, stop)
    if args.watch_stdin:
        def stdin_event(_channel, _condition):
            loop.quit()
            return GLib.SOURCE_REMOVE
        channel = GLib.IOChannel.unix_new(sys.stdin.fileno())
        GLib.io_add_watch(channel, GLib.PRIORITY_DEFAULT, GLib.IOCondition.IN | GLib.IOCondition.HUP, stdin_event)
    print("rtsp_fake: ready", flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
