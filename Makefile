# Quenmira: build, run and test.
BUILD_DIR ?= build
SANITIZE ?= 0
ARGS ?=
JOBS ?= $(shell nproc)

DEB_PACKAGES := cmake ninja-build g++ pkg-config ccache python3 sqlite3 \
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev libsqlite3-dev \
  libcurl4-openssl-dev libcairo2-dev libpango1.0-dev libsdl2-dev \
  libplist-dev nlohmann-json3-dev libcpp-httplib-dev libcli11-dev libfmt-dev \
  libprotobuf-dev protobuf-compiler libprotobuf-c-dev protobuf-c-compiler \
  liblitehtml-dev xvfb xdotool x11-apps libjpeg-dev libnotify-dev libunwind-dev xdg-utils \
  binutils g++-aarch64-linux-gnu qemu-user strace

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

ifeq ($(SANITIZE),1)
BUILD_DIR := build-sanitize
CMAKE_FLAGS += -DQM_SANITIZE=ON
endif

.PHONY: deps configure build run test bench clean

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $$missing; \
	fi

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

configure: $(BUILD_DIR)/build.ninja

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Only what running needs: the application and its bundle, no tests or benchmarks.
run: deps configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target Quenmira
	$(BUILD_DIR)/Quenmira.app/Quenmira $(ARGS)

test: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 300

bench: deps build
	@for b in $(BUILD_DIR)/bench/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done

clean:
	rm -rf build build-sanitize
