"""What diffusers 0.25's schedulers compute, for tests/pipeline/SchedulerReferenceTests.cpp.

Each scheduler class is built with from_config from Stable Diffusion 1.5's scheduler
configuration (so each keeps its own default timestep spacing), optionally with Karras
sigmas or another spacing, and stepped ten times on fixed network outputs. The fixture
holds, per case: the timesteps, the starting noise level, and for every evaluation the
sample it started from, the scaled network input, the network output, the noise the
scheduler drew (stochastic ones), the next sample and the clean-sample estimate.

    .venv/bin/python tools/reference/scheduler_reference.py
"""

import os
import pathlib

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import torch  # noqa: E402
from safetensors.torch import save_file  # noqa: E402

torch.set_num_threads(1)

ROOT = pathlib.Path(__file__).resolve().parents[2]
OUT = ROOT / "tests/pipeline/fixtures/Schedulers.safetensors"

# runwayml/stable-diffusion-v1-5's scheduler/scheduler_config.json.
SD15 = {
    "_class_name": "PNDMScheduler",
    "_diffusers_version": "0.6.0",
    "beta_end": 0.012,
    "beta_schedule": "scaled_linear",
    "beta_start": 0.00085,
    "num_train_timesteps": 1000,
    "set_alpha_to_one": False,
    "skip_prk_steps": True,
    "steps_offset": 1,
    "trained_betas": None,
    "clip_sample": False,
}

STEPS = 10
SHAPE = (1, 4, 4, 4)


def scheduler_for(name, spacing):
    import diffusers

    classes = {
        "euler": (diffusers.EulerDiscreteScheduler, {}),
        "euler-a": (diffusers.EulerAncestralDiscreteScheduler, {}),
        "ddim": (diffusers.DDIMScheduler, {}),
        "heun": (diffusers.HeunDiscreteScheduler, {}),
        "unipc": (diffusers.UniPCMultistepScheduler, {}),
        "dpm-sde": (diffusers.DPMSolverMultistepScheduler, {"algorithm_type": "sde-dpmsolver++"}),
    }
    cls, extra = classes[name]
    if spacing == "karras":
        extra = dict(extra, use_karras_sigmas=True)
    elif spacing is not None:
        extra = dict(extra, timestep_spacing=spacing)
    return cls.from_config(SD15, **extra)


def recorded_randn(drawn, generator):
    def randn(shape, generator=None, device=None, dtype=None, layout=None):
        noise = torch.randn(shape, generator=noise_generator, dtype=torch.float32)
        drawn.append(noise)
        return noise

    noise_generator = generator
    return randn


def run_case(name, spacing, arrays):
    import diffusers.schedulers.scheduling_dpmsolver_multistep as dpm
    import diffusers.schedulers.scheduling_euler_ancestral_discrete as euler_a

    key = name if spacing is None else f"{name}+{spacing}"
    scheduler = scheduler_for(name, spacing)
    scheduler.set_timesteps(STEPS)
    drawn = []
    randn = recorded_randn(drawn, torch.Generator().manual_seed(7))
    euler_a.randn_tensor = randn
    dpm.randn_tensor = randn

    generator = torch.Generator().manual_seed(11)
    arrays[f"{key}/timesteps"] = scheduler.timesteps.to(torch.float32)
    arrays[f"{key}/init_noise_sigma"] = torch.tensor([float(scheduler.init_noise_sigma)])
    sample = torch.randn(SHAPE, generator=generator) * scheduler.init_noise_sigma
    for index, t in enumerate(scheduler.timesteps):
        scaled = scheduler.scale_model_input(sample, t)
        # A network whose output depends on its input, as a trained one's does.
        output = 0.6 * scaled + 0.4 * torch.randn(SHAPE, generator=generator)
        before = len(drawn)
        result = scheduler.step(output, t, sample, generator=None) if name not in (
            "heun", "unipc", "ddim") else scheduler.step(output, t, sample)
        arrays[f"{key}/sample/{index}"] = sample
        arrays[f"{key}/input/{index}"] = scaled
        arrays[f"{key}/output/{index}"] = output
        if len(drawn) > before:
            arrays[f"{key}/noise/{index}"] = drawn[-1]
        if getattr(result, "pred_original_sample", None) is not None:
            arrays[f"{key}/denoised/{index}"] = result.pred_original_sample
        elif hasattr(scheduler, "model_outputs"):
            arrays[f"{key}/denoised/{index}"] = scheduler.model_outputs[-1]
        sample = result.prev_sample
        arrays[f"{key}/next/{index}"] = sample


def main():
    arrays = {}
    cases = [("euler", None), ("euler", "karras"), ("euler", "leading"), ("euler-a", None),
             ("euler-a", "trailing"), ("ddim", None), ("ddim", "linspace"), ("heun", None),
             ("heun", "karras"), ("unipc", None), ("unipc", "karras"), ("unipc", "trailing"),
             ("dpm-sde", None), ("dpm-sde", "karras"), ("dpm-sde", "leading")]
    for name, spacing in cases:
        run_case(name, spacing, arrays)
    save_file({k: v.to(torch.float32)
               .clone().contiguous() for k, v in arrays.items()}, str(OUT))
    print(f"wrote {len(arrays)} arrays for {len(cases)} cases to {OUT}")


if __name__ == "__main__":
    main()
