#!/usr/bin/env bash
# Sets up the Autobahn test suite's `wstest` (Python 2.7 only) under a scratch folder without a
# system-wide install: Debian bullseye's python2.7 packages fetched with `apt-get download` and
# unpacked, pip 20.3 run from its wheel with --target, the suite's Twisted/autobahn pins by hand.
# Usage: bench/autobahn_setup.sh [DIR]   (default build/autobahn); prints the wstest path.
set -euo pipefail
dir=$(realpath -m "${1:-build/autobahn}")
if [ -x "$dir/wstest" ] && "$dir/wstest" --help >/dev/null 2>&1; then echo "$dir/wstest"; exit 0; fi
mkdir -p "$dir"/{apt/lists/partial,apt/cache/archives/partial,debs,root,boot,whl}
cd "$dir"
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bullseye main" >apt/sources.list
apt=(-o Dir::Etc::SourceList="$dir/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o Dir::State::Lists="$dir/apt/lists" -o Dir::Cache="$dir/apt/cache")
apt-get "${apt[@]}" update -q >&2
(cd debs && apt-get "${apt[@]}" download python2.7 python2.7-minimal libpython2.7-stdlib \
  libpython2.7-minimal libpython2.7 libpython2.7-dev python2.7-dev libssl1.1 libffi7 >&2)
for d in debs/*.deb; do dpkg-deb -x "$d" root; done
cat >py2 <<SH
#!/bin/bash
export LD_LIBRARY_PATH=$dir/root/usr/lib/x86_64-linux-gnu:$dir/root/lib/x86_64-linux-gnu
export PYTHONHOME=$dir/root/usr PYTHONPATH=$dir/site:$dir/boot
exec $dir/root/usr/bin/python2.7 "\$@"
SH
chmod +x py2
python3 -m pip download -q -d whl --no-deps pip==20.3.4 setuptools==44.1.1 wheel==0.37.1 >&2
for w in whl/setuptools-*.whl whl/wheel-*.whl; do python3 -m zipfile -e "$w" boot; done
cat >constraints.txt <<'PINS'
Twisted==20.3.0
zope.interface==5.5.2
cryptography==3.3.2
pyOpenSSL==21.0.0
service-identity==21.1.0
attrs==21.4.0
Automat==20.2.0
hyperlink==21.0.0
incremental==21.3.0
constantly==15.1.0
PyHamcrest==1.10.1
idna==2.10
six==1.16.0
cffi==1.15.1
pycparser==2.21
pyasn1==0.4.8
pyasn1-modules==0.2.8
Jinja2==2.11.3
MarkupSafe==1.1.1
Werkzeug==1.0.1
klein==20.6.0
typing==3.10.0.0
enum34==1.1.10
ipaddress==1.0.23
wsaccel==0.6.3
ujson==2.0.3
txaio==2.1.0
PINS
CFLAGS="-I$dir/root/usr/include/python2.7 -I$dir/root/usr/include" \
  ./py2 whl/pip-20.3.4-py2.py3-none-any.whl/pip install -q --no-cache-dir --target site \
  -c constraints.txt autobahntestsuite==0.8.2 >&2
# --target skips the namespace-package .pth files: make `zope` importable.
[ -f site/zope/__init__.py ] ||
  echo "__path__ = __import__('pkgutil').extend_path(__path__, __name__)" >site/zope/__init__.py
cat >wstest <<SH
#!/bin/bash
exec $dir/py2 -c "import sys; from autobahntestsuite.wstest import run; sys.argv[0] = 'wstest'; run()" "\$@"
SH
chmod +x wstest
"$dir/wstest" --help >/dev/null
echo "$dir/wstest"
