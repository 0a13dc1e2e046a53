# Front door: every target installs what it needs, configures and builds.
PREFIX ?= /usr/local
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
FUZZ_DIR ?= build-fuzz
BENCH_DIR ?= build-bench
JOBS ?= $(shell nproc)

BUILD_PACKAGES := g++ clang cmake ninja-build pkg-config libfftw3-dev libpng-dev \
	libjpeg62-turbo-dev zlib1g-dev googletest libgtest-dev
FUZZ_PACKAGES := clang libclang-rt-14-dev
BENCH_PACKAGES := libbenchmark-dev python3-numpy python3-scipy python3-skimage time

SAMPLE := samples/astronaut_blurred.png
DEMO_ARGS := --estimator sparse 25 25 2.2

.PHONY: all deps build test sanitize demo install fuzz bench clean

all: build

deps:
	@scripts/install-deps.sh $(BUILD_PACKAGES)

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) -j $(JOBS) --output-on-failure

sanitize: deps
	CXX=clang++ cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKESTREL_SANITIZE=ON
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	ctest --test-dir $(SANITIZE_DIR) -j $(JOBS) --output-on-failure

demo: build
	@mkdir -p out
	cp $(SAMPLE) out/
	$(BUILD_DIR)/app/kestrel out/$(notdir $(SAMPLE)) out/astronaut_deblurred.png $(DEMO_ARGS)
	@echo "Deblurred picture: out/astronaut_deblurred.png"
	@echo "Estimated kernel:  out/astronaut_blurred_kernel.png"

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

fuzz: deps
	@scripts/install-deps.sh $(FUZZ_PACKAGES)
	CXX=clang++ cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKESTREL_SANITIZE=ON -DKESTREL_FUZZ=ON -DKESTREL_TESTS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target load_image_fuzzer
	mkdir -p $(FUZZ_DIR)/corpus
	$(FUZZ_DIR)/tests/fuzz/load_image_fuzzer -max_total_time=$${FUZZ_SECONDS:-60} \
		-artifact_prefix=$(FUZZ_DIR)/ $(FUZZ_DIR)/corpus tests/fuzz/corpus

bench: deps
	@scripts/install-deps.sh $(BENCH_PACKAGES)
	cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BENCH=ON \
		-DKESTREL_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR) $(BENCH_DIR) out
