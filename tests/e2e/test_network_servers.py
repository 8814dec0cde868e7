"""Updates from real servers under Wine: nginx over HTTPS with certificates of
a test CA that the machine trusts, an update through a forward proxy
(tinyproxy) set in the prefix's Internet settings, and one through a caching
CDN (Varnish) in front of nginx. The runs of one test go
side by side, each in its own client folder under its own URL prefix.
"""

from torvane_env import TorvaneTestCase
from test_update_install import Scenario
from test_signed_update import KEY_A, SignedScenario, signed_by
from forward_proxy import ForwardProxy  # tests/fixtures, on the path through torvane_env
from nginx_server import NginxServer
from varnish_cache import VarnishCache
import urllib.request

# What WinINet reports for each refused certificate, under Wine 8:
#   self_signed  ERROR_INTERNET_INVALID_CA (12045)
#   other_host   ERROR_INTERNET_SEC_CERT_CN_INVALID (12038)
#   expired      ERROR_INTERNET_SEC_CERT_DATE_INVALID (12037)
BAD_CERTIFICATES = ("self_signed", "other_host", "expired")


class HttpsUpdateTest(TorvaneTestCase):

    def scenario(self, site, name, file_site=None):
        """An update of a.dll from release 400 to 500, its manifest on site and
        its file on file_site (site when None)."""
        s = Scenario(self, site, name, installed=400)
        s.client.write_file("a.dll", b"old a")
        route = s.offer(500, "\\a.dll", b"new a of " + name.encode())
        if file_site is not None:
            path, _, digest, sha256 = s.sections[500][0]
            s.sections[500][0] = (path, file_site.url(route), digest, sha256)
        return s

    def test_https_installs_and_refused_certificates_change_nothing(self):
        server = NginxServer().start()
        self.addCleanup(server.stop)
        good = server.site("good")
        installs = self.scenario(good, "trusted")
        refused_manifests = [self.scenario(server.site(kind), kind) for kind in BAD_CERTIFICATES]
        refused_files = [self.scenario(good, kind + "_file", server.site(kind)) for kind in BAD_CERTIFICATES]
        scenarios = [installs] + refused_manifests + refused_files
        for s in scenarios:
            s.start()
        for s in scenarios:
            s.finish()

        installs.expect_success()
        self.assertEqual(installs.client.read_file("a.dll"), b"new a of trusted")
        self.assertEqual(installs.requests(), ["/list.cfg", "/files/v500/a.dll"])
        for s in refused_manifests + refused_files:
            # No request was answered on a refused certificate's port.
            self.assertEqual(s.requests(), ["/list.cfg"] if s in refused_files else [], s.name)
            self.assertEqual(s.client.read_file("a.dll"), b"old a", s.name)
            self.assertEqual(s.client.read_file("Upgrade.cfg"), s.cfg, s.name)
            # Nothing from a refused server is kept, not even for the next run.
            self.assertEqual(s.client.listing(),
                             ["Halvix.exe", "Torvane.exe", "Torvane.log", "Upgrade.cfg", "a.dll"], s.name)
            self.assertIsNone(s.client.restart_command_line(), s.name)


    def test_a_redirect_through_http_is_refused_before_the_request(self):
        server = NginxServer().start()
        self.addCleanup(server.stop)
        good, plain = server.site("good"), server.site("http")
        s = self.scenario(good, "hops")
        path, url, digest, sha256 = s.sections[500][0]
        route = url[len(good.url("")):]
        # https, then http, then https again, where the file is.
        s.sections[500][0] = (path, good.url(plain.hop_path(good.hop_path(route))), digest, sha256)
        s.start()
        s.finish()
        self.assertEqual(plain.requests, [], "a request went out in clear")
        self.assertEqual(good.requests.count(route), 0)
        self.assertEqual(s.client.read_file("a.dll"), b"old a")
        self.assertIn("redirected from https to http", s.client.read_file("Torvane.log").decode("utf-8", "replace"))


class ProxyUpdateTest(TorvaneTestCase):

    def test_a_signed_update_goes_through_the_proxy(self):
        server = self.start_server()
        proxy = ForwardProxy().start()
        self.addCleanup(proxy.stop)
        s = SignedScenario(self, server, "proxied", signed_by(KEY_A))
        s.offer(500, "\\a.dll", b"new a", digest=None, sha256="auto")
        s.start()
        s.finish()
        s.expect_success()
        self.assertEqual(s.client.read_file("a.dll"), b"new a")
        expected = ["GET " + s.url(tail) for tail in ("list.cfg", "list.cfg.sig", "files/v500/a.dll")]
        self.assertEqual(proxy.requests(), expected)
        self.assertEqual(s.requests(), ["/list.cfg", "/list.cfg.sig", "/files/v500/a.dll"])


class CachedReleaseTest(TorvaneTestCase):

    def test_a_cdn_holding_the_last_releases_manifest_is_passed_once(self):
        # The CDN has the manifest of the release before cached; the .sig of
        # the new one, never asked for through it, comes from the origin.
        server = NginxServer(tls=False).start()
        self.addCleanup(server.stop)
        cache = VarnishCache(server.ports["http"], ttl=600).start()
        self.addCleanup(cache.stop)
        s = SignedScenario(self, server.site("http", url_port=cache.port), "cdn", signed_by(KEY_A))
        s.offer(500, "\\a.dll", b"last a", digest=None, sha256="auto", tail="files/last/a.dll")
        s.server.add_file("/cdn/list.cfg", s.manifest())
        with urllib.request.urlopen(s.url("list.cfg"), timeout=30) as answer:
            self.assertEqual(answer.read(), s.manifest())
        s.sections = {v: [] for v in s.versions[1:]}
        s.offer(500, "\\a.dll", b"new a", digest=None, sha256="auto", tail="files/new/a.dll")
        s.start()
        s.finish()

        s.expect_success()
        self.assertEqual(s.client.read_file("a.dll"), b"new a")
        asked = s.requests()
        # The stale manifest came from the cache; the fresh pair past it.
        self.assertEqual(asked[:2], ["/list.cfg", "/list.cfg.sig"], asked)
        self.assertRegex(" ".join(asked[2:]), r"^/list\.cfg\?nocache=(\w+) /list\.cfg\.sig\?nocache=\1 "
                         r"/files/new/a\.dll$")
        self.assertLogged(s.client.run_log(), "signature", keys=1, verified="yes")

    def test_a_cdn_holding_a_stale_signed_pair_is_passed_once(self):
        # The CDN holds a whole pair that verifies but is not current; the
        # origin already serves the renewed one.
        server = NginxServer(tls=False).start()
        self.addCleanup(server.stop)
        cache = VarnishCache(server.ports["http"], ttl=600).start()
        self.addCleanup(cache.stop)
        # (name, stamp of the cached pair, serial accepted before, renewed stamp)
        cases = [
            ("expired", {"serial": 2, "valid_for": -60}, None, {"serial": 3, "valid_for": 3600}),
            ("older", {"serial": 4, "valid_for": 3600}, b"5\r\n", {"serial": 6, "valid_for": 3600}),
        ]
        runs = []
        for name, cached, accepted, renewed in cases:
            s = SignedScenario(self, server.site("http", url_port=cache.port), name, signed_by(KEY_A))
            if accepted is not None:
                s.client.write_file("ManifestSerial.dat", accepted)
            s.offer(500, "\\a.dll", b"new a", digest=None, sha256="auto")
            s.stamp = cached
            for tail, body in (("list.cfg", s.manifest()), ("list.cfg.sig", s.sign(s.manifest()))):
                s.server.add_file("/%s/%s" % (name, tail), body)
                with urllib.request.urlopen(s.url(tail), timeout=30) as answer:
                    self.assertEqual(answer.read(), body)
            s.stamp = renewed
            s.start()
            runs.append(s)
        for s in runs:
            s.finish()
            s.expect_success()
            self.assertEqual(s.client.read_file("a.dll"), b"new a", s.client.run_log()[-12:])
            asked = s.requests()
            self.assertRegex(" ".join(asked[2:]), r"^/list\.cfg\?nocache=(\w+) /list\.cfg\.sig\?nocache=\1 "
                             r"/files/v500/a\.dll$", (s.name, asked))
